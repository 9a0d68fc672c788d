// Reads and writes raw values in the current user's registry, for tests that drive the program as a process:
//   registry_tool get KEY NAME              prints "TYPE HEXBYTES", or "missing"
//   registry_tool put KEY NAME TYPE HEXBYTES
// KEY and NAME are ASCII.

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/support/raw_value.h"

namespace {

std::u16string FromAscii(const char* text) {
    return {text, text + std::char_traits<char>::length(text)};
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "get" && argc == 4) {
        const auto value = GetRawValue(FromAscii(argv[2]).c_str(), FromAscii(argv[3]).c_str());
        if (!value) {
            std::puts("missing");
            return 0;
        }
        std::printf("%u ", value->type);
        for (const unsigned char byte : value->bytes) {
            std::printf("%02x", byte);
        }
        std::puts("");
        return 0;
    }
    if (command == "put" && argc == 6) {
        RawValue value{static_cast<std::uint32_t>(std::strtoul(argv[4], nullptr, 0)), {}};
        const std::string hex = argv[5];
        for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
            value.bytes.push_back(static_cast<unsigned char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
        }
        return PutRawValue(FromAscii(argv[2]).c_str(), FromAscii(argv[3]).c_str(), value) ? 0 : 1;
    }
    (void)std::fputs("usage: registry_tool get KEY NAME | put KEY NAME TYPE HEXBYTES\n", stderr);
    return 2;
}
