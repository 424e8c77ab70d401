// The kinds of failure, their names, and the renderings of `OsError` that
// appear verbatim inside the module's failure messages.
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "sys.hpp"

// The XSI variant: it fills the caller's buffer instead of returning a
// pointer to a static string, and <string.h> hides it under _GNU_SOURCE.
extern "C" int __xpg_strerror_r(int errnum, char* buf, std::size_t buflen);

namespace veltra::sys {

namespace {

struct KindRow {
    int code;  // the errno this kind stands for, or no_errno
    ErrorKind kind;
    std::string_view name;
};

constexpr int no_errno = 0;

#define VELTRA_KIND(code, kind)      \
    KindRow {                        \
        code, ErrorKind::kind, #kind \
    }

// Every kind once at least, so that each has its name; a kind that several
// errno values share has a row for each. Kinds without an errno are given
// only by the fixed errors that name them.
constexpr KindRow kind_rows[] = {
    VELTRA_KIND(EPERM, PermissionDenied),
    VELTRA_KIND(EACCES, PermissionDenied),
    VELTRA_KIND(ENOENT, NotFound),
    VELTRA_KIND(EINTR, Interrupted),
    VELTRA_KIND(E2BIG, ArgumentListTooLong),
    VELTRA_KIND(EAGAIN, WouldBlock),
    VELTRA_KIND(ENOMEM, OutOfMemory),
    VELTRA_KIND(EBUSY, ResourceBusy),
    VELTRA_KIND(EEXIST, AlreadyExists),
    VELTRA_KIND(EXDEV, CrossesDevices),
    VELTRA_KIND(ENOTDIR, NotADirectory),
    VELTRA_KIND(EISDIR, IsADirectory),
    VELTRA_KIND(EINVAL, InvalidInput),
    VELTRA_KIND(ETXTBSY, ExecutableFileBusy),
    VELTRA_KIND(EFBIG, FileTooLarge),
    VELTRA_KIND(ENOSPC, StorageFull),
    VELTRA_KIND(ESPIPE, NotSeekable),
    VELTRA_KIND(EROFS, ReadOnlyFilesystem),
    VELTRA_KIND(EMLINK, TooManyLinks),
    VELTRA_KIND(EPIPE, BrokenPipe),
    VELTRA_KIND(EDEADLK, Deadlock),
    VELTRA_KIND(ENAMETOOLONG, InvalidFilename),
    VELTRA_KIND(ENOSYS, Unsupported),
    VELTRA_KIND(ENOTEMPTY, DirectoryNotEmpty),
    VELTRA_KIND(ELOOP, FilesystemLoop),
    VELTRA_KIND(EADDRINUSE, AddrInUse),
    VELTRA_KIND(EADDRNOTAVAIL, AddrNotAvailable),
    VELTRA_KIND(ENETDOWN, NetworkDown),
    VELTRA_KIND(ENETUNREACH, NetworkUnreachable),
    VELTRA_KIND(ECONNABORTED, ConnectionAborted),
    VELTRA_KIND(ECONNRESET, ConnectionReset),
    VELTRA_KIND(ENOTCONN, NotConnected),
    VELTRA_KIND(ETIMEDOUT, TimedOut),
    VELTRA_KIND(ECONNREFUSED, ConnectionRefused),
    VELTRA_KIND(EHOSTUNREACH, HostUnreachable),
    VELTRA_KIND(ESTALE, StaleNetworkFileHandle),
    VELTRA_KIND(EDQUOT, FilesystemQuotaExceeded),
    VELTRA_KIND(no_errno, WriteZero),
    VELTRA_KIND(no_errno, InvalidData),
    VELTRA_KIND(no_errno, Uncategorized),
};

#undef VELTRA_KIND

constexpr const KindRow* row_of(ErrorKind kind) noexcept {
    for (const KindRow& row : kind_rows)
        if (row.kind == kind)
            return &row;
    return nullptr;
}

constexpr bool every_kind_named() noexcept {
    for (int k = 0; k <= static_cast<int>(ErrorKind::Uncategorized); ++k)
        if (row_of(static_cast<ErrorKind>(k)) == nullptr)
            return false;
    return true;
}
static_assert(every_kind_named(), "an ErrorKind has no row, and so no name");

std::string system_text(int code) {
    char buf[128];
    buf[0] = '\0';
    // A positive return (unknown errno, text cut short) still leaves a usable
    // NUL-terminated text such as "Unknown error 4000"; only the old-style -1
    // means nothing was written.
    if (__xpg_strerror_r(code, buf, sizeof buf) < 0)
        panic("strerror_r failure");
    buf[sizeof buf - 1] = '\0';
    return utf8_lossy(std::string_view(buf, std::strlen(buf)));
}

void append_hex_escape(std::string& out, unsigned value) {
    static constexpr char digits[] = "0123456789abcdef";
    char hex[8];
    int n = 0;
    do {
        hex[n++] = digits[value & 0xF];
        value >>= 4;
    } while (value != 0);
    out += "\\u{";
    while (n > 0)
        out += hex[--n];
    out += '}';
}

// `text` as a double-quoted literal. It must be valid UTF-8, so that a C1
// control character can only appear as its two-byte sequence.
std::string quoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        switch (c) {
            case '"':
                out += "\\\"";
                continue;
            case '\\':
                out += "\\\\";
                continue;
            case '\n':
                out += "\\n";
                continue;
            case '\r':
                out += "\\r";
                continue;
            case '\t':
                out += "\\t";
                continue;
            case '\0':
                out += "\\0";
                continue;
            default:
                break;
        }
        if (c < 0x20 || c == 0x7F) {
            append_hex_escape(out, c);
        } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            append_hex_escape(out, static_cast<unsigned char>(text[i + 1]));
            ++i;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
    return out;
}

}  // namespace

std::string_view to_string(ErrorKind kind) noexcept {
    const KindRow* row = row_of(kind);
    return row != nullptr ? row->name : "Uncategorized";
}

ErrorKind kind_of_errno(int code) noexcept {
    if (code != no_errno)
        for (const KindRow& row : kind_rows)
            if (row.code == code)
                return row.kind;
    return ErrorKind::Uncategorized;
}

ErrorKind OsError::kind() const noexcept {
    return is_os() ? kind_of_errno(code_) : fixed_kind_;
}

std::string OsError::detailed() const {
    std::string out;
    if (is_os()) {
        out = "Os { code: " + std::to_string(code_) + ", kind: ";
        out += to_string(kind());
        out += ", message: " + quoted(system_text(code_)) + " }";
    } else {
        out = "Error { kind: ";
        out += to_string(fixed_kind_);
        out += ", message: " + quoted(utf8_lossy(message_)) + " }";
    }
    return out;
}

std::string OsError::short_form() const {
    if (is_os())
        return system_text(code_) + " (os error " + std::to_string(code_) + ")";
    return utf8_lossy(message_);
}

}  // namespace veltra::sys
