// The tray's menu model: entries of a few kinds in an ordered list, owned by the tray that shows
// them. Built and clicked on the tray's thread (the main thread); back-ends only render it.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/enum_table.hpp"

namespace kinetra::tray {

class BaseTray;

enum class EntryKind { label, button, submenu, separator, toggle, syncedToggle, imageButton };

inline constexpr auto kEntryKinds = core::makeEnumTable<EntryKind>({
    {EntryKind::label, "Label"},
    {EntryKind::button, "Button"},
    {EntryKind::submenu, "Submenu"},
    {EntryKind::separator, "Separator"},
    {EntryKind::toggle, "Toggle"},
    {EntryKind::syncedToggle, "SyncedToggle"},
    {EntryKind::imageButton, "ImageButton"},
});

/// One menu entry: its text and the tray it belongs to (set when added; null before).
class TrayEntry {
public:
    explicit TrayEntry(std::string text) : text_(std::move(text)) {}
    virtual ~TrayEntry() = default;
    TrayEntry(const TrayEntry&) = delete;
    TrayEntry& operator=(const TrayEntry&) = delete;

    const std::string& text() const { return text_; }
    BaseTray* tray() const { return tray_; }
    virtual EntryKind kind() const = 0;
    /// Whether choosing the entry does something (a label or separator does not).
    virtual bool clickable() const { return false; }
    /// The user chose the entry.
    virtual void click() {}

    /// Sets the owning tray; a submenu passes it on to its children.
    virtual void attach(BaseTray* tray) { tray_ = tray; }

private:
    std::string text_;
    BaseTray* tray_ = nullptr;  // not owned: the tray owns its entries
};

using Action = std::function<void()>;
using Entries = std::vector<std::unique_ptr<TrayEntry>>;

class Label : public TrayEntry {
public:
    using TrayEntry::TrayEntry;
    EntryKind kind() const override { return EntryKind::label; }
};

class Separator : public TrayEntry {
public:
    Separator() : TrayEntry("") {}
    EntryKind kind() const override { return EntryKind::separator; }
};

class Button : public TrayEntry {
public:
    Button(std::string text, Action action)
        : TrayEntry(std::move(text)), action_(std::move(action)) {}
    EntryKind kind() const override { return EntryKind::button; }
    bool clickable() const override { return true; }
    void click() override;

private:
    Action action_;
};

/// A button with a picture beside its text; back-ends without pictures show the text only.
class ImageButton : public Button {
public:
    ImageButton(std::string text, std::string imagePath, Action action)
        : Button(std::move(text), std::move(action)), imagePath_(std::move(imagePath)) {}
    EntryKind kind() const override { return EntryKind::imageButton; }
    const std::string& imagePath() const { return imagePath_; }

private:
    std::string imagePath_;
};

/// An on/off state that flips on click and re-renders the menu; `onChange` sees the new state.
class Toggle : public TrayEntry {
public:
    Toggle(std::string text, bool on, std::function<void(bool)> onChange = {})
        : TrayEntry(std::move(text)), on_(on), onChange_(std::move(onChange)) {}
    EntryKind kind() const override { return EntryKind::toggle; }
    bool clickable() const override { return true; }
    void click() override;
    bool isOn() const { return on_; }

private:
    bool on_;
    std::function<void(bool)> onChange_;
};

/// A toggle whose state mirrors something outside the menu; the same flip-and-render on click.
class SyncedToggle : public Toggle {
public:
    using Toggle::Toggle;
    EntryKind kind() const override { return EntryKind::syncedToggle; }
};

class Submenu : public TrayEntry {
public:
    explicit Submenu(std::string text) : TrayEntry(std::move(text)) {}
    EntryKind kind() const override { return EntryKind::submenu; }
    void attach(BaseTray* tray) override;

    /// Appends `entry` and returns it.
    TrayEntry& add(std::unique_ptr<TrayEntry> entry);
    const Entries& entries() const { return entries_; }

private:
    Entries entries_;
};

/// A tray: an identifier, an icon and the ordered menu entries, shown by a back-end.
class BaseTray {
public:
    BaseTray(std::string identifier, std::string iconPath)
        : identifier_(std::move(identifier)), iconPath_(std::move(iconPath)) {}
    virtual ~BaseTray() = default;
    BaseTray(const BaseTray&) = delete;
    BaseTray& operator=(const BaseTray&) = delete;

    /// Shows the icon and processes events until exit(); on the tray's thread.
    virtual void run() = 0;
    /// Removes the icon and ends run(). Safe from any thread, also before run() starts.
    virtual void exit() = 0;
    /// Renders the entry list again (after a change); on the tray's thread.
    virtual void update() = 0;

    /// Appends `entry` (the tray becomes its owner) and returns it.
    TrayEntry& add(std::unique_ptr<TrayEntry> entry);
    const Entries& entries() const { return entries_; }
    const std::string& identifier() const { return identifier_; }
    const std::string& iconPath() const { return iconPath_; }

protected:
    void clearEntries() { entries_.clear(); }

private:
    std::string identifier_;
    std::string iconPath_;
    Entries entries_;
};

}  // namespace kinetra::tray
