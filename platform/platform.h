// The one door to the operating system.
//
// Everything outside platform/ is the same on every platform and reaches the
// system only through this header. There is one implementation per platform:
// platform/posix/ (Linux and other POSIX systems) and platform/windows/ (the
// Windows C runtime and user32).
//
// Text is wchar_t throughout: UTF-16 on Windows, UTF-32 on POSIX. On POSIX a
// wide path is turned into the bytes the system sees by the lossless mapping of
// platform/posix/native_text.h, so names that are not valid UTF-8 still name
// their files exactly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>

#include "platform/platform_config.h"

namespace qx::plat {

class Sha256;

// ---- Failures -------------------------------------------------------------

// Why the last call of this layer that failed on this thread failed: the
// system's error number (POSIX errno, Windows GetLastError()), or one of the
// layer's own codes below. Calls that fail set it; calls that succeed leave
// it alone.
int LastError();

// The layer's own reasons, for failures the system has no number for.
inline constexpr int kErrorCutShort = -1;  // a file became shorter while it was read
// The system's numbers for a path that is too long, and for memory that
// ran out.
int PathTooLongError();
int NoMemoryError();

// The system's own words for an error number, or the layer's own for its
// codes.
std::wstring ErrorText(int code);

// ---- Paths ---------------------------------------------------------------

// Capacity, in wide characters with the terminating null, of every composed
// path and path part: 260 on Windows, 4096 (PATH_MAX) on POSIX.
inline constexpr int kPathCapacity = QX_PATH_CAPACITY;

// Capacity of one directory entry's own name, terminating null included.
inline constexpr int kNameCapacity = QX_NAME_CAPACITY;

// The separator the tool writes when it composes a path.
inline constexpr wchar_t kSeparator = QX_SEPARATOR_CHAR;

// True for every character that ends a directory part: '\' and '/' on
// Windows, '/' only on POSIX (where '\' is an ordinary character).
constexpr bool IsSeparator(wchar_t c) {
#if QX_BACKSLASH_IS_SEPARATOR
  return c == L'/' || c == L'\\';
#else
  return c == L'/';
#endif
}

// True where paths may begin with a drive ("C:").
inline constexpr bool kHasDrives = QX_HAS_DRIVES;

// Splits a path into drive, directory, file name and extension, each into its
// own buffer of the given capacity (terminating null included):
//  - the drive is the first two characters when the second is ':' (only
//    where kHasDrives), else empty;
//  - the directory is what follows the drive up to and including the last
//    separator, else empty;
//  - the extension runs from the last '.' of what follows the directory to
//    the end, else it is empty;
//  - the file name is what lies between directory and extension.
// Any output pointer may be null (that part is not wanted). Returns 0; when
// the path is null or a part does not fit its buffer, every non-null part
// comes back empty and the result is non-zero.
int SplitPath(const wchar_t* path, wchar_t* drive, std::size_t driveCapacity,
              wchar_t* dir, std::size_t dirCapacity, wchar_t* name,
              std::size_t nameCapacity, wchar_t* ext, std::size_t extCapacity);

// True when `path` names the same place whatever the current directory (and,
// on Windows, the current drive) is.
bool IsAbsolute(const wchar_t* path);

// Makes a path absolute, resolved against the current directory (on Windows,
// a drive-relative path such as "C:x" against that drive's own current
// directory). "." components and repeated separators are dropped; ".." takes
// away the component before it, except (POSIX) where that component is a
// link, whose ".." only the system can resolve. Returns false when the result does not fit `capacity` characters
// (terminating null included) or the current directory is unknown.
bool FullPath(const wchar_t* path, wchar_t* out, int capacity);

// ---- Directory listing ---------------------------------------------------

inline constexpr std::uint32_t kAttribSubdir = 0x10;

// The fields of one listed entry that the tool uses.
struct FindData {
  std::uint32_t attrib;      // kAttribSubdir for a directory or a link to one
  std::int64_t time_write;   // last write, whole seconds since 1970-01-01 UTC
  wchar_t name[kNameCapacity];  // the entry's own name, without directory
};

using FindHandle = std::intptr_t;
inline constexpr FindHandle kInvalidFind = -1;

// Starts a listing of the entries that match `pattern`. The last component
// of the pattern may hold '*' and '?', matched ignoring case; "*.*" matches
// every name, with a dot or without. A last component without wildcards
// names one entry exactly. The POSIX listing is sorted: "." and ".." first,
// then by name with A-Z folded to a-z, ties broken by the exact name.
// Fills `record` with the first entry and returns a handle, or returns
// kInvalidFind when nothing matches or the pattern is not valid (LastError()
// then 0), or the listing failed (LastError() the reason: a directory that
// cannot be read).
FindHandle FindFirst(const wchar_t* pattern, FindData* record);

// Fills `record` with the next entry and returns 0, or returns -1 at the end.
int FindNext(FindHandle handle, FindData* record);

// Ends a listing. Returns 0, or -1 for an invalid handle.
int FindClose(FindHandle handle);

// Describes the one entry that `path` names, as a listing would deliver it
// at that moment (whatever characters its name holds). False when there is
// none.
bool DescribeEntry(const wchar_t* path, FindData* record);

// Identity of a directory, to recognise one reached again through a link.
struct DirIdentity {
  std::uint64_t device;
  std::uint64_t inode;
  bool operator==(const DirIdentity&) const = default;
};

// Identity of the directory `path` names (links followed). False on failure.
bool GetDirIdentity(const wchar_t* path, DirIdentity* identity);

// ---- Current directory and time ------------------------------------------

// The current directory as an absolute path, with no separator at its end
// except at the root. Returns buffer, or null when it does not fit or fails.
wchar_t* GetCwd(wchar_t* buffer, int capacity);

// Makes `path` the current directory. Returns 0, or -1 when it cannot.
int ChangeDir(const wchar_t* path);

// The current time in whole seconds since 1970-01-01 00:00:00 UTC.
std::int64_t CurrentTime();

// ---- Files -----------------------------------------------------------------

// Opens a file in binary mode; `mode` is L"rb" or L"wb". Null on failure.
// Other programs may go on reading and writing the file meanwhile.
std::FILE* OpenFile(const wchar_t* path, const wchar_t* mode);

// 64-bit seek (origin SEEK_SET, SEEK_CUR or SEEK_END): 0 or non-zero.
int Seek64(std::FILE* stream, std::int64_t offset, int origin);

// 64-bit position, negative on failure.
std::int64_t Tell64(std::FILE* stream);

// ---- Input files ------------------------------------------------------------

// A file opened for reading. Only regular files open: reading a FIFO could
// wait for ever and reading a device could never end. Other programs may go
// on reading and writing the file meanwhile.
class InputFile {
 public:
  InputFile();
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // False when the file cannot be opened or is no regular file.
  bool Open(const wchar_t* path);
  // The size when it was opened, or -1 when it could not be told.
  std::int64_t Size() const;
  // The permission bits an image carved from this file gets: the file's own
  // read and write bits (POSIX), so that a private file's images stay
  // private. Where the system keeps no such bits, 0666.
  std::uint32_t Permissions() const;
  // Reads exactly `count` bytes at `offset`. False on a failure or a short
  // read (the file shrank).
  bool ReadAt(std::int64_t offset, std::uint8_t* buffer, std::size_t count);

  // Makes the first `length` bytes (0 <= length <= Size()) readable as one
  // block, Data(): mapped read-only where the system allows, otherwise (no
  // address space for a mapping, a file system that cannot map) read into
  // memory with one read; an empty file needs neither. False when neither
  // works: *noRoom (if given) then tells whether memory or address space ran
  // out, which may be there again once other files are released.
  // With `populate`, every cached page of a mapping is brought in at once
  // (one call instead of a fault per page); without, Populate can do it
  // later, on other threads. A block shorter than kReadBelow is read rather
  // than mapped: for so few bytes, mapping and unmapping them (which stops
  // every other thread of the process for a moment) costs more than the
  // copy.
  static constexpr std::int64_t kReadBelow = 256 << 10;
  bool Load(std::int64_t length, bool* noRoom = nullptr, bool populate = true);
  // Brings the pages of [from, to) of the loaded block in, on this thread.
  void Populate(std::int64_t from, std::int64_t to) const;
  const std::uint8_t* Data() const;
  std::int64_t Loaded() const;
  // Where the loaded bytes stopped being the file's, or -1 while they are
  // intact. A mapped file cut short by another process while it is read
  // (SIGBUS on POSIX, an in-page error on Windows) reads as zeros from the
  // point of damage on instead of ending the process, and bytes from there
  // on are not the file's. Whatever is written out of Data() must be checked
  // against this after it was written.
  std::int64_t DamagedFrom() const;
  // Releases the loaded block (also done by the destructor).
  void Unload();

  // A view of part of the file, for files too large to be loaded whole.
  struct View {
    const std::uint8_t* data = nullptr;  // the byte at `offset`
    std::int64_t offset = 0;
    std::int64_t length = 0;
    // Kept by the platform.
    void* base = nullptr;
    std::size_t extent = 0;
    int region = -1;
    bool read = false;
  };
  // Makes [offset, offset + length) readable (mapped where the system
  // allows, else read). The view may reach past the end of the file: bytes
  // there read as zeros. False when neither works.
  bool MapView(std::int64_t offset, std::int64_t length, View* view);
  void ReleaseView(View* view);
  // The file offset from which the view's bytes stopped being the file's, or
  // -1 while they are intact.
  std::int64_t ViewDamagedFrom(const View& view) const;

  // Test seam: false makes Load and MapView read instead of map, as where
  // mapping is refused.
  static void AllowMapping(bool allowed);
  // Test seam: while set, a Load for which `refuse` answers true fails as
  // where memory has run out (*noRoom set). Null removes it.
  static void RefuseLoads(bool (*refuse)(std::int64_t length));

  struct State;

 private:
  // The platform's own code reaches the system's handle through this.
  friend struct InputFileAccess;
  State* state_;
};

// ---- Output files -------------------------------------------------------------

// A directory that new files are made in, held from the moment it is opened:
// names made in it later do not depend on the current directory then, and
// none of them can land elsewhere if a component of its path is swapped
// for a link meanwhile (POSIX: a descriptor of the directory; Windows: its
// absolute path, taken when it is opened).
class OutputDir {
 public:
  OutputDir();
  ~OutputDir();
  OutputDir(const OutputDir&) = delete;
  OutputDir& operator=(const OutputDir&) = delete;

  // Opens the directory `path` names, relative to the current directory
  // now; an empty path is the current directory itself. False when it
  // cannot be opened (or, on Windows, its absolute path does not fit).
  bool Open(const wchar_t* path);
  // The same, making the directory and its missing parents first; the path
  // is the user's own, so links along it are followed.
  bool OpenMade(const wchar_t* path);
  // Opens the directory `below` names under `root` (one name per component,
  // none empty, "." or ".."), making each one that is missing. No link is
  // ever followed below the root: a component that is one fails the call,
  // so that a link planted there by someone else cannot lead the outputs
  // anywhere else.
  bool OpenBelow(const OutputDir& root, std::span<const std::wstring> below);
  bool IsOpen() const;

  struct State;

 private:
  friend class NewFile;
  State* state_;
};


// A new file that replaces whatever a name held, appearing under that name
// only once it is complete. The bytes go to a temporary file in the same
// directory (without a name where the system allows, else created
// exclusively and without following links), which is linked or renamed over
// the name at the end: a link planted at the name is replaced, never
// followed, so neither its target nor the source being scanned can be
// overwritten, and a failed or interrupted write leaves nothing behind. A
// temporary's name (a dot, "qx" and five random letters or digits) is never
// an output name, and is never longer than one.
class NewFile {
 public:
  NewFile();
  ~NewFile();  // an uncommitted file is abandoned
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;

  // Creates the temporary in `dir`, to become `name` there (a name without
  // separators), with the permission bits given (POSIX; the umask still
  // applies; elsewhere the directory's inherited access rules hold). The
  // directory must stay open until the file is committed or abandoned.
  // False when it cannot be created.
  bool Create(const OutputDir& dir, const wchar_t* name, std::uint32_t permissions);
  // Appends all `count` bytes. False when they could not all be written (a
  // full disk, a file size limit, an interruption of the run); the file is
  // then abandoned.
  bool Write(const std::uint8_t* data, std::int64_t count);
  // Appends `count` bytes of `input` from `offset`, copied piece by piece
  // without holding them in memory. False, and the file abandoned, as for
  // Write, and also when the input ends before them.
  // With `hash`, every byte copied is also added to it (and the copy goes
  // through memory of ours, a piece at a time).
  bool CopyFrom(InputFile& input, std::int64_t offset, std::int64_t count, Sha256* hash = nullptr);
  // Renames the complete temporary over the name. False when that fails;
  // the temporary is then removed and the name keeps what it held.
  bool Commit();
  // Removes the temporary, if there is one.
  void Abandon();

  // Test seam: false makes new files take a named temporary from the start,
  // as on file systems that cannot make files without a name.
  static void AllowUnnamed(bool allowed);

  struct State;

 private:
  friend class GrowingFile;
  State* state_;
};

// A file that grows while the run goes on (its report), under its name from
// the start. It is made as a NewFile is, and put under the name at once: a
// link planted at the name is replaced, never followed. Each WriteAt is one
// write of the system where it can be, so that a run killed between two
// leaves each piece whole.
class GrowingFile {
 public:
  GrowingFile();
  ~GrowingFile();
  GrowingFile(const GrowingFile&) = delete;
  GrowingFile& operator=(const GrowingFile&) = delete;

  // Replaces whatever `path` held with an empty file. False when it cannot.
  bool Create(const wchar_t* path);
  // Writes `count` bytes at `offset`; false when they could not all be
  // written.
  bool WriteAt(std::int64_t offset, const void* data, std::size_t count);
  // Cuts the file at `length`.
  bool Truncate(std::int64_t length);

  struct State;

 private:
  State* state_;
};

// ---- Interruption ---------------------------------------------------------------

// From this call on, SIGINT, SIGTERM and SIGHUP (Windows: Ctrl+C and
// Ctrl+Break) end the run in order: an output being written is finished or
// abandoned (its temporary removed), standard output is flushed, and the
// process ends with the status of that signal. Call once, before any other
// thread starts.
void InstallInterruptHandling();

// True once an interruption has begun. A long write gives up when it sees it.
bool InterruptRequested();

// While one lives, an interruption waits: the output step holds one from the
// creation of an output to its line on standard output, so that an
// interrupted run leaves every output either complete and reported or not
// there at all. A section entered after an interruption has begun never
// returns: the process is about to end.
class OutputSection {
 public:
  OutputSection();
  ~OutputSection();
  OutputSection(const OutputSection&) = delete;
  OutputSection& operator=(const OutputSection&) = delete;
};

// ---- Standard output -------------------------------------------------------

// Appends wide text to the buffered standard output. On POSIX the text is
// written as UTF-8 (with the lossless mapping back for U+DC80..U+DCFF), never
// depending on the C locale.
void WriteStdout(const wchar_t* text, std::size_t length);

// Writes out everything buffered so far. Also done at normal exit and before
// an error box is shown.
void FlushStdout();

// ---- Lists of names ----------------------------------------------------------

// A list of names read piece by piece as it is written: a file, a pipe or
// FIFO, a terminal, or standard input. Unlike an InputFile it need not be a
// regular file, since lists come from other programs.
class ListFile {
 public:
  ListFile();
  ~ListFile();
  ListFile(const ListFile&) = delete;
  ListFile& operator=(const ListFile&) = delete;

  // Opens `path` for reading; "-" is standard input. False when it cannot
  // be opened.
  bool Open(const wchar_t* path);
  // True when a Read would return at once (bytes there, or the end); false
  // when it may have to wait for the list's writer.
  bool Ready() const;
  // Reads the next piece into `buffer`: the count of bytes (at least 1,
  // returning as soon as any are there), 0 at the end of the list, -1 when
  // reading failed. On Windows a UTF-8 byte-order mark at the start of the
  // list is left out.
  std::ptrdiff_t Read(std::uint8_t* buffer, std::size_t capacity);

  struct State;

 private:
  State* state_;
};

// The text of a name that a list gives as bytes: on POSIX the lossless
// mapping of native names (every byte string decodes), on Windows UTF-8
// decoded to UTF-16. False when the bytes are no name here (Windows: not
// valid UTF-8, which could only stand for another name).
bool DecodeListedName(std::string_view bytes, std::wstring* name);

// ---- Standard error ----------------------------------------------------------

// True when standard error is a terminal (a console on Windows), where a
// progress line may be drawn and redrawn.
bool StderrIsTerminal();

// Writes wide text to standard error at once, unbuffered.
void WriteStderr(const wchar_t* text, std::size_t length);

// A status line (a progress line) on a terminal standard error: ShowStatus
// draws it over the last one, ClearStatus takes it away. Anything else
// written to standard error, and standard output when it is a terminal, is
// written after the line has been taken away, so that no text lands in it;
// the next ShowStatus draws it again.
void ShowStatus(const wchar_t* text, std::size_t length);
void ClearStatus();

// ---- The error box -----------------------------------------------------------

inline constexpr unsigned kBoxYesNoErrorTaskModal = 0x2014;  // MB_YESNO|MB_ICONERROR|MB_TASKMODAL
inline constexpr int kBoxFailed = 0;
inline constexpr int kBoxYes = 6;  // IDYES
inline constexpr int kBoxNo = 7;   // IDNO

// Shows a modal Yes/No box and waits for the answer: kBoxYes, kBoxNo, or
// kBoxFailed when it could not be shown or answered. On POSIX the box is a
// stand-in on standard error that reads its answer from the controlling
// terminal (/dev/tty); with no terminal it has failed. Standard output is
// flushed first.
int ShowErrorBox(const wchar_t* text, const wchar_t* caption, unsigned style);

// Test seam: while a hook is set, ShowErrorBox calls it instead of showing
// anything. Returns the previous hook; pass nullptr to remove it.
using ErrorBoxHook = int (*)(const wchar_t* text, const wchar_t* caption,
                             unsigned style);
ErrorBoxHook SetErrorBoxHook(ErrorBoxHook hook);

// Ends the process at once (the runtime's abort): no exit handlers run.
[[noreturn]] void AbortProcess();

// ---- Processor faults ----------------------------------------------------------

// Runs fn(context) so that a processor fault inside it (an invalid memory
// access: SIGSEGV or SIGBUS on POSIX, an access violation on Windows) comes
// back as false instead of ending the process. Returns true when fn returned
// normally. fn must not let exceptions escape. Guards may nest; a fault is
// delivered to the innermost one. Faults outside any guard behave as if no
// guard existed.
bool RunFaultGuarded(void (*fn)(void*), void* context) noexcept;

// ---- SHA-256 -------------------------------------------------------------------

// SHA-256 by the system's own well-kept library: OpenSSL's libcrypto on
// POSIX, CNG (bcrypt) on Windows. Incremental, so that an image of any size
// is hashed piece by piece as it is copied; each object is one hash and may
// be used by one thread at a time, any number of objects at once.
//
// The library can fail only when it cannot get memory (or, on Windows, the
// algorithm cannot be opened). Then nothing is thrown and nothing ends the
// process: ok() turns false for good, later Updates are ignored, and Final
// writes 32 zero bytes and returns false, so a caller reports no digest
// rather than a wrong one. Final ends the hash: after it ok() is false,
// Update does nothing and a second Final fails the same way.
class Sha256 {
 public:
  static constexpr std::size_t kDigestSize = 32;

  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  // Adds `count` bytes (none when count is 0; data may then be null).
  void Update(const std::uint8_t* data, std::size_t count);
  // Writes the digest of everything added into out and returns true; see
  // above for when it writes zeros and returns false instead.
  bool Final(std::uint8_t out[kDigestSize]);
  // True while the hash can still give a correct digest.
  bool ok() const { return context_ != nullptr; }

 private:
  // The library's hash state; null once failed or finished.
  void* context_ = nullptr;
};

}  // namespace qx::plat
