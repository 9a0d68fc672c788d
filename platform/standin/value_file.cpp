#include "platform/standin/value_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "platform/standin/posix_file.h"

namespace platform::standin {
namespace {

constexpr unsigned char kMagic[4] = {'R', 'E', 'G', 'V'};

void PutLittleEndian(unsigned char* out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

std::uint32_t GetLittleEndian(const unsigned char* in) {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
        value |= static_cast<std::uint32_t>(in[i]) << (8 * i);
    }
    return value;
}

}  // namespace

ValueHeaderBytes EncodeValueHeader(ValueHeader header) {
    ValueHeaderBytes bytes{};
    std::memcpy(bytes.data(), kMagic, sizeof kMagic);
    PutLittleEndian(bytes.data() + 4, header.type);
    PutLittleEndian(bytes.data() + 8, header.size);
    return bytes;
}

std::optional<ValueHeader> DecodeValueHeader(const ValueHeaderBytes& bytes, std::uint64_t fileSize) {
    if (std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) {
        return std::nullopt;
    }
    const ValueHeader header{GetLittleEndian(bytes.data() + 4), GetLittleEndian(bytes.data() + 8)};
    if (header.size > kMaxValueSize || fileSize != kValueHeaderSize + std::uint64_t{header.size}) {
        return std::nullopt;
    }
    return header;
}

RegistryStatus ReadValueHeader(int file, ValueHeader& header) {
    struct stat info {};
    if (::fstat(file, &info) != 0) {
        return StatusFromErrno(errno);
    }
    if (!S_ISREG(info.st_mode) || info.st_size < static_cast<off_t>(kValueHeaderSize)) {
        return registry_status::kRegistryCorrupt;
    }
    ValueHeaderBytes bytes{};
    if (!ReadAll(file, bytes.data(), bytes.size(), 0)) {
        return StatusFromErrno(errno);
    }
    const auto decoded = DecodeValueHeader(bytes, static_cast<std::uint64_t>(info.st_size));
    if (!decoded) {
        return registry_status::kRegistryCorrupt;
    }
    header = *decoded;
    return registry_status::kSuccess;
}

}  // namespace platform::standin
