#include "config/ini_reader.hpp"

#include <gtest/gtest.h>

namespace kinetra::config {
namespace {

struct IniCase {
    const char* rule;
    std::string text;
    const char* expected;  // JSON text
};

TEST(IniReader, FollowsEveryLineRule) {
    const IniCase cases[] = {
        {"the server section's shape",
         "[httpserver]\naddress=127.0.0.1\nport=8080\n[websocket]\naddress = ::1\nport = 8082",
         R"({"httpserver":{"address":"127.0.0.1","port":"8080"},
             "websocket":{"address":"::1","port":"8082"}})"},
        {"sections and keys lower-cased, values kept", "[HttpServer]\nAddress=LocalHost\nPORT=80",
         R"({"httpserver":{"address":"LocalHost","port":"80"}})"},
        {"only section lines lose their remarks", "[server] ; main one\nkey = value ; not a remark",
         R"({"server":{"key":"value ; not a remark"}})"},
        {"a ']' inside the remark makes no header; the rest is a key line",
         "[real]\n[fake ; ]\n[a=b ; c]", R"({"real":{"[a":"b"}})"},
        {"the name runs to the last ']' and is trimmed", "[ a]b ]\nk=v", R"({"a]b":{"k":"v"}})"},
        {"comments, lines without '=' and lines before any section are ignored",
         "orphan=1\n; comment=2\n  ;indented=3\n[s]\n;x=y\nk=v\nnoequals", R"({"s":{"k":"v"}})"},
        {"escaped '=' belongs to the key", "[s]\na\\=b = c=d\n\\=x=1",
         R"({"s":{"a=b":"c=d","=x":"1"}})"},
        {"a line with only escaped '=' is no key line", "[s]\nonly\\=escaped", R"({"s":null})"},
        {"CR and NUL vanish anywhere", std::string("[s]\r\nke\0y=va\rlue\r\n", 19),
         R"({"s":{"key":"value"}})"},
        {"every kind of blank is trimmed", "\t[ s ]\v\n \f key \t=\t value \f",
         R"({"s":{"key":"value"}})"},
        {"repeated sections continue, repeated keys overwrite", "[a]\nx=1\n[b]\ny=2\n[A]\nx=3\nz=4",
         R"({"a":{"x":"3","z":"4"},"b":{"y":"2"}})"},
        {"a section without keys is null", "[empty]\n[full]\nk=v",
         R"({"empty":null,"full":{"k":"v"}})"},
        {"no section header at all gives null", "key=value\n; only a comment", "null"},
        {"an empty file gives null", "", "null"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parseIni(c.text), json::parse(c.expected)) << c.rule;
    }
}

TEST(IniReader, KeepsInvalidUtf8ValuesAsBytes) {
    EXPECT_EQ(parseIni("[s]\nk=\xFF\xFE")["s"]["k"].get<std::string>(), "\xFF\xFE");
}

}  // namespace
}  // namespace kinetra::config
