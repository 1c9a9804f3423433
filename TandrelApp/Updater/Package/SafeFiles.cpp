#include "TandrelApp/Updater/Package/SafeFiles.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include "TandrelApp/Updater/Package/FileDescriptor.h"

namespace SafeFiles {

namespace {

[[noreturn]] void fail(const std::string& path, int error) {
    throw Failure(path + ": " + std::strerror(error));
}

} // namespace

std::string readRegularFile(const std::string& path, std::uint64_t limit) {
    // O_NONBLOCK: opening a pipe must not wait for a writer; a regular file ignores the flag.
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!file && errno == ELOOP) {
        throw Failure(path + ": シンボリックリンクです");
    }
    if (!file) {
        fail(path, errno);
    }
    struct stat status {};
    if (::fstat(file.get(), &status) != 0) {
        fail(path, errno);
    }
    if (!S_ISREG(status.st_mode)) {
        throw Failure(path + ": 通常のファイルではありません");
    }
    if (std::uint64_t(status.st_size) > limit) {
        throw Failure(path + ": 大きすぎます（上限 " + std::to_string(limit) + " バイト）");
    }
    std::string bytes;
    bytes.reserve(std::size_t(status.st_size));
    char buffer[65536];
    for (;;) {
        const ssize_t count = readSome(file.get(), buffer, sizeof buffer);
        if (count < 0) {
            fail(path, errno);
        }
        if (count == 0) {
            return bytes;
        }
        bytes.append(buffer, std::size_t(count));
        if (bytes.size() > limit) {
            throw Failure(path + ": 大きすぎます（上限 " + std::to_string(limit) + " バイト）");
        }
    }
}

void writeNewFile(const std::string& path, std::string_view bytes, mode_t mode) {
    FileDescriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!file) {
        fail(path, errno);
    }
    if (!writeAll(file.get(), bytes) || ::fchmod(file.get(), mode) != 0) {
        fail(path, errno);
    }
}

void removeTree(const std::string& path) noexcept {
    ::nftw(
        path.c_str(),
        [](const char* entry, const struct stat*, int type, struct FTW*) {
            if (type == FTW_DP) {
                ::rmdir(entry);
            } else {
                ::unlink(entry);
            }
            return 0;
        },
        16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
}

std::optional<std::string> othersCanChange(const std::string& path, uid_t owner) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) {
        return path + ": " + std::strerror(errno);
    }
    for (std::string current = resolved;;) {
        struct stat status {};
        if (::stat(current.c_str(), &status) != 0) {
            return current + ": " + std::strerror(errno);
        }
        const bool sticky = S_ISDIR(status.st_mode) && (status.st_mode & S_ISVTX) != 0;
        if ((status.st_uid != 0 && status.st_uid != owner) ||
            ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0 && !sticky)) {
            return current;
        }
        if (current == "/") {
            return std::nullopt;
        }
        const std::size_t slash = current.rfind('/');
        current = slash == 0 ? "/" : current.substr(0, slash);
    }
}

std::string sha256Hex(std::string_view bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
        throw Failure("SHA-256 を計算できません");
    }
    static constexpr char hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 0xF];
    }
    return text;
}

std::string randomBytes(std::size_t count) {
    std::string bytes(count, '\0');
    std::size_t filled = 0;
    while (filled < count) {
        const ssize_t got = ::getrandom(bytes.data() + filled, count - filled, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            fail("getrandom", errno);
        }
        filled += std::size_t(got);
    }
    return bytes;
}

} // namespace SafeFiles
