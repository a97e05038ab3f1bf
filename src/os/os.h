// The operating-system layer: the few system calls the updater makes, as plain
// functions over std:: types. One backend implements it per platform; the
// build picks which one an executable links.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace os {

// One process of a snapshot.
struct ProcessEntry
{
    std::uint32_t pid = 0;
    // The executable's file name, without a directory.
    std::u16string executableName;
};

// All processes of one moment, in snapshot order.
struct ProcessSnapshot
{
    std::vector<ProcessEntry> entries;
    // The system error that ended the walk early, 0 when it completed.
    // Entries found before the failure are kept.
    std::uint32_t error = 0;
};

[[nodiscard]] ProcessSnapshot processSnapshot();

enum class CommonFolder {
    Desktop, // the desktop shared by all users
    Programs, // the Start-menu programs folder shared by all users
};

// The path of a shell folder shared by all users, exactly as the shell gives
// it (possibly empty), or nothing when the shell cannot give it.
[[nodiscard]] std::optional<std::u16string> commonFolderPath(CommonFolder folder);

enum class ComInit {
    Initialised, // this call initialised COM (or it already was, compatibly): uninitialise later
    ChangedMode, // the thread is in another apartment: usable, but not ours to uninitialise
    Failed, // COM cannot be used on this thread
};

// Enters a single-threaded apartment on the calling thread.
[[nodiscard]] ComInit initialiseCom();
// Leaves the apartment entered by an initialiseCom() that gave Initialised.
void uninitialiseCom();

// Holds the calling thread in a COM apartment for its lifetime.
class ComApartment
{
public:
    ComApartment()
        : m_init(initialiseCom())
    {
    }
    ~ComApartment()
    {
        if (m_init == ComInit::Initialised)
            uninitialiseCom();
    }
    ComApartment(const ComApartment &) = delete;
    ComApartment &operator=(const ComApartment &) = delete;

    ComInit state() const { return m_init; }
    bool usable() const { return m_init != ComInit::Failed; }

private:
    ComInit m_init;
};

// The target stored in a shell link file, unexpanded; empty for a link without
// a file-system target; nothing when the file cannot be read as a shell link.
// Needs a usable COM apartment on the calling thread.
[[nodiscard]] std::optional<std::u16string> shellLinkTarget(const std::u16string &linkPath);

inline constexpr std::uint32_t InvalidFileAttributes = 0xFFFFFFFFu;
inline constexpr std::uint32_t DirectoryAttribute = 0x10u;
inline constexpr std::uint32_t ReparsePointAttribute = 0x400u;

// The attribute bits of a path in native form, or InvalidFileAttributes.
[[nodiscard]] std::uint32_t fileAttributes(const std::u16string &nativePath);

// Copies a file, overwriting the destination. Paths in native form.
[[nodiscard]] bool copyFile(const std::u16string &source, const std::u16string &destination);

// Whether another program holds the file open so that it can be neither read
// nor replaced now: a sharing or lock violation, which ends when that program
// lets go. Never so on systems without file sharing. Path in native form.
[[nodiscard]] bool fileInUse(const std::u16string &nativePath);

// Gives the destination the permission bits of the source where the platform
// has them; elsewhere does nothing and succeeds. Paths in native form.
[[nodiscard]] bool copyPermissions(const std::u16string &source, const std::u16string &destination);

} // namespace os
