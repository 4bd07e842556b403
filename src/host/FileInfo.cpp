#include "host/FileInfo.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

namespace quillate {

namespace {

constexpr std::size_t CrcBufferSize = 256 * 1024;

class TFileDescriptor {
public:
    explicit TFileDescriptor(int fd) : FFd(fd) {}
    TFileDescriptor(const TFileDescriptor&) = delete;
    TFileDescriptor& operator=(const TFileDescriptor&) = delete;
    ~TFileDescriptor() {
        if (FFd >= 0)
            ::close(FFd);
    }
    int Get() const { return FFd; }

private:
    int FFd;
};

std::filesystem::path TemporaryFolder() {
    const char* dir = std::getenv("TMPDIR");
    return (dir && *dir) ? std::filesystem::path(dir) : std::filesystem::path("/tmp");
}

} // namespace

std::string TFileInfo::GetFileCRC(const std::filesystem::path& path) {
    TFileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.Get() < 0)
        throw EFileInfoError(
            fmt::format("cannot open \"{}\" for its CRC: {}", path.string(), std::strerror(errno)));
    ::posix_fadvise(file.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);

    std::vector<unsigned char> buffer(CrcBufferSize);
    // crc32_z takes a size_t length; every call here stays below the buffer size anyway.
    uLong crc = crc32_z(0L, Z_NULL, 0);
    for (;;) {
        ssize_t n = ::read(file.Get(), buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw EFileInfoError(
                fmt::format("cannot read \"{}\" for its CRC: {}", path.string(), std::strerror(errno)));
        }
        if (n == 0)
            break;
        crc = crc32_z(crc, buffer.data(), static_cast<z_size_t>(n));
    }
    return std::to_string(static_cast<std::uint32_t>(crc));
}

bool TFileInfo::IsExistingFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool TFileInfo::PathExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::string TFileInfo::AttachmentProblem(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return "Attachment missing: " + path;
    return S_ISREG(st.st_mode) ? std::string() : "Attachment is not a regular file: " + path;
}

std::filesystem::path TFileInfo::GetTemporaryFileName(std::string_view prefix) {
    if (prefix.find('/') != std::string_view::npos)
        throw EFileInfoError(fmt::format("temporary file prefix \"{}\" must not contain '/'", prefix));
    std::filesystem::path folder = TemporaryFolder();
    std::string pattern = (folder / (std::string(prefix) + "XXXXXX")).string();
    int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0)
        throw EFileInfoError(fmt::format("cannot create a temporary file in \"{}\": {}", folder.string(),
                                         std::strerror(errno)));
    ::close(fd);
    return pattern;
}

} // namespace quillate
