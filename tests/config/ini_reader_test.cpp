#include "config/ini_reader.hpp"

#include <gtest/gtest.h>

namespace kinetra::config {
namespace {

json ini(std::string_view text) {
    return parseIni(text);
}

TEST(IniReader, ReproducesTheShapeOfTheServerSection) {
    const auto parsed =
        ini("[httpserver]\naddress=127.0.0.1\nport=8080\n"
            "[webserver]\naddress = 0.0.0.0\nport = 8081\n"
            "[websocket]\naddress=::1\nport=8082");
    EXPECT_EQ(parsed, json::parse(R"({"httpserver":{"address":"127.0.0.1","port":"8080"},
        "webserver":{"address":"0.0.0.0","port":"8081"},
        "websocket":{"address":"::1","port":"8082"}})"));
}

TEST(IniReader, LowerCasesSectionsAndKeysButNotValues) {
    EXPECT_EQ(ini("[HttpServer]\nAddress=LocalHost\nPORT=80"),
              json::parse(R"({"httpserver":{"address":"LocalHost","port":"80"}})"));
}

TEST(IniReader, OnlySectionLinesLoseTheirRemarks) {
    EXPECT_EQ(ini("[server] ; main one\nkey = value ; not a remark\n"),
              json::parse(R"({"server":{"key":"value ; not a remark"}})"));
    // A header whose ']' stands inside the remark is no header; what is left is a key line.
    EXPECT_EQ(ini("[real]\n[fake ; ]\n[a=b ; c]\n"), json::parse(R"({"real":{"[a":"b"}})"));
}

TEST(IniReader, SectionNameRunsToTheLastBracketAndIsTrimmed) {
    EXPECT_EQ(ini("[ a]b ]\nk=v"), json::parse(R"({"a]b":{"k":"v"}})"));
}

TEST(IniReader, CommentsAndLinesBeforeTheFirstSectionAreIgnored) {
    EXPECT_EQ(ini("orphan=1\n; comment=2\n  ;indented comment=3\n[s]\n;x=y\nk=v\nnoequals\n"),
              json::parse(R"({"s":{"k":"v"}})"));
}

TEST(IniReader, EscapedEqualsSignsBelongToTheKey) {
    EXPECT_EQ(ini("[s]\na\\=b = c=d\n\\=x=1\n"), json::parse(R"({"s":{"a=b":"c=d","=x":"1"}})"));
    // No unescaped '=': not a key line at all.
    EXPECT_EQ(ini("[s]\nonly\\=escaped\n"), json::parse(R"({"s":null})"));
}

TEST(IniReader, CarriageReturnsAndNulBytesVanishAnywhere) {
    const std::string text("[s]\r\nke\0y=va\rlue\r\n", 19);
    EXPECT_EQ(ini(text), json::parse(R"({"s":{"key":"value"}})"));
}

TEST(IniReader, TrimsEveryKindOfBlank) {
    EXPECT_EQ(ini("\t[ s ]\v\n \f key \t=\t value \f\n"), json::parse(R"({"s":{"key":"value"}})"));
}

TEST(IniReader, RepeatedSectionsContinueAndRepeatedKeysOverwrite) {
    EXPECT_EQ(ini("[a]\nx=1\n[b]\ny=2\n[A]\nx=3\nz=4"),
              json::parse(R"({"a":{"x":"3","z":"4"},"b":{"y":"2"}})"));
}

TEST(IniReader, EmptySectionsAndFilesWithoutSectionsAreNull) {
    EXPECT_EQ(ini("[empty]\n[full]\nk=v"), json::parse(R"({"empty":null,"full":{"k":"v"}})"));
    EXPECT_TRUE(ini("").is_null());
    EXPECT_TRUE(ini("key=value\n; only a comment").is_null());
}

TEST(IniReader, TheTextAfterTheLastLineFeedIsALine) {
    EXPECT_EQ(ini("[s]\nk=v"), json::parse(R"({"s":{"k":"v"}})"));
}

TEST(IniReader, KeepsInvalidUtf8ValuesAsBytes) {
    const auto parsed = ini("[s]\nk=\xFF\xFE");
    EXPECT_EQ(parsed["s"]["k"].get<std::string>(), "\xFF\xFE");
}

}  // namespace
}  // namespace kinetra::config
