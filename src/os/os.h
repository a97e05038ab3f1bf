// The operating-system layer: the few system calls the updater makes, as plain
// functions over std:: types. The program is a Windows program: the Win32
// backend (*_win.cpp) makes these calls; the POSIX backend (*_posix.cpp)
// stands in for it on Linux, answering as Windows would where it can. The
// build picks which backend an executable links; a test may link a fake one.
//
// Every call is declared once, in UPDATER_OS_CALLS below: the backends define
// them, and the POSIX stand-in and a test's fake backend are generated from it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace os {

// How a call ended: the system's own error code when it failed (GetLastError()
// or an HRESULT from the Win32 backend, errno from the POSIX one), 0 when it
// succeeded.
struct [[nodiscard]] Status
{
    std::uint32_t error = 0;
    // The failure means that another program holds one of the files open
    // (a sharing or lock violation, or a replace refused over an open file):
    // it ends when that program lets go, so trying again may succeed.
    bool fileHeld = false;

    bool ok() const { return error == 0; }
    explicit operator bool() const { return ok(); }
};

// A value, meaningful only when the call succeeded.
template<typename T>
struct [[nodiscard]] Result : Status
{
    T value{};
};

// One process of a snapshot.
struct ProcessEntry
{
    std::uint32_t pid = 0;
    // The executable's file name, without a directory.
    std::u16string executableName;
};

// All processes of one moment, in snapshot order. A walk that failed part of
// the way keeps the entries found before the failure.
struct [[nodiscard]] ProcessSnapshot : Status
{
    std::vector<ProcessEntry> entries;
};

enum class CommonFolder {
    Desktop,  // the desktop shared by all users
    Programs, // the Start-menu programs folder shared by all users
};

enum class [[nodiscard]] ComInit{
        Initialised, // this call initialised COM (or it already was, compatibly): uninitialise
                     // later
        ChangedMode, // the thread is in another apartment: usable, but not ours to uninitialise
        Failed,      // COM cannot be used on this thread
};

// File attributes as Windows has them.
inline constexpr std::uint32_t ReadOnlyAttribute = 0x1u;
inline constexpr std::uint32_t HiddenAttribute = 0x2u;
inline constexpr std::uint32_t SystemAttribute = 0x4u;
inline constexpr std::uint32_t DirectoryAttribute = 0x10u;
inline constexpr std::uint32_t ArchiveAttribute = 0x20u;
inline constexpr std::uint32_t NormalAttribute = 0x80u;
inline constexpr std::uint32_t ReparsePointAttribute = 0x400u;
inline constexpr std::uint32_t NotContentIndexedAttribute = 0x2000u;
// The attributes that stop a file from being replaced or overwritten.
inline constexpr std::uint32_t ProtectingAttributes =
        ReadOnlyAttribute | HiddenAttribute | SystemAttribute;
// The attributes that a file can be given.
inline constexpr std::uint32_t SettableAttributes =
        ProtectingAttributes | ArchiveAttribute | NotContentIndexedAttribute;

// Called now and then while a long call runs, on the calling thread.
using Progress = std::function<void()>;

// An opaque top-level window handle (a HWND on Windows).
using WindowId = std::uintptr_t;

// Every call of the layer: its result, name, parameters and the parameters'
// names. Paths are absolute or relative paths in native form (backslashes on
// Windows); paths of any length are accepted.
#define UPDATER_OS_CALLS(CALL) \
    /* All processes running now. */ \
    CALL(os::ProcessSnapshot, processSnapshot, (), ()) \
    /* The path of a shell folder shared by all users, exactly as the shell gives it (possibly \
       empty). Fails where there is no such folder. */ \
    CALL(os::Result<std::u16string>, commonFolderPath, (os::CommonFolder folder), (folder)) \
    /* Enters a single-threaded apartment on the calling thread. */ \
    CALL(os::ComInit, initialiseCom, (), ()) \
    /* Leaves the apartment entered by an initialiseCom() that gave Initialised. */ \
    CALL(void, uninitialiseCom, (), ()) \
    /* The target stored in a shell link file, unexpanded; empty for a link without a \
       file-system target. Needs a usable COM apartment on the calling thread. */ \
    CALL(os::Result<std::u16string>, shellLinkTarget, (const std::u16string &linkPath), \
         (linkPath)) \
    /* The attribute bits of a path, without following a link it names. */ \
    CALL(os::Result<std::uint32_t>, fileAttributes, (const std::u16string &path), (path)) \
    /* Gives a file the settable attributes among these (none: a plain file). */ \
    CALL(os::Status, setFileAttributes, (const std::u16string &path, std::uint32_t attributes), \
         (path, attributes)) \
    /* Copies a file with the system's own copy, overwriting the destination. */ \
    CALL(os::Status, copyFile, (const std::u16string &source, const std::u16string &destination), \
         (source, destination)) \
    /* Copies a file's content (and, on POSIX, its permission bits) into a new file beside the \
       destination, writes it out to the disk and then puts it in the destination's place in one \
       step: on failure the destination keeps its former content, or stays absent. Reports \
       progress after each chunk. The destination's folder must exist. */ \
    CALL(os::Status, copyFileContent, \
         (const std::u16string &source, const std::u16string &destination, \
          const os::Progress &progress), \
         (source, destination, progress)) \
    /* Asks the system not to end the session while the window shows this reason; a log-off or \
       shutdown then names the window and the reason to the user. Does nothing elsewhere. */ \
    CALL(os::Status, blockShutdown, (os::WindowId window, const std::u16string &reason), \
         (window, reason)) \
    /* Takes back a blockShutdown() of this window. */ \
    CALL(os::Status, unblockShutdown, (os::WindowId window), (window))

#define UPDATER_OS_DECLARE(Type, name, parameters, arguments) Type name parameters;
UPDATER_OS_CALLS(UPDATER_OS_DECLARE)

// Holds the calling thread in a COM apartment for its lifetime.
class ComApartment
{
public:
    ComApartment()
        : m_init(initialiseCom())
    { }
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

// The form of an absolute path in which Windows takes it whatever its length:
// a path of 260 characters or more gets the "\\?\" prefix ("\\?\UNC\" for a
// share) and backslashes; anything else is returned unchanged.
std::u16string extendedLengthPath(const std::u16string &path);

} // namespace os
