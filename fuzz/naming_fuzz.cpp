// Drives the naming operations over arbitrary byte strings, each in a heap
// block of exactly the buffer's size so that the sanitizers see any byte read
// or written past its end, and checks what a run relies on of the results.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "core/naming.hpp"

namespace {

using namespace cardwrap;

void require(bool holds)
{
    if (!holds)
        std::abort();
}

template <std::size_t N>
std::unique_ptr<char[][N]> buffer()
{
    auto b = std::make_unique<char[][N]>(1);
    std::memset(b[0], 0x5A, N); // not zero: a missing terminator shows
    return b;
}

bool is_lead_byte(unsigned char c)
{
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

// The title field holds `text` and zeros to its end, and the buffer's last
// byte is zero.
void require_field(const char (&title)[TITLE_BUF_LEN], const std::string &text)
{
    require(text.size() <= TITLE_LEN);
    require(std::memcmp(title, text.data(), text.size()) == 0);
    for (std::size_t i = text.size(); i < TITLE_BUF_LEN; ++i)
        require(title[i] == '\0');
}

void check_given_title(const std::string &text)
{
    auto title = buffer<TITLE_BUF_LEN>();
    take_title(text.c_str(), title[0]);
    require_field(title[0], text.substr(0, TITLE_LEN));
}

// A derived title is the prefix then at most 13 bytes of the file name, each
// the name's own byte or, for a lower-case letter outside a double-byte
// character, its upper case.
void check_derived_title(const std::string &stem)
{
    const std::size_t sep = stem.find_last_of("/\\");
    const std::string name = sep == std::string::npos ? stem : stem.substr(sep + 1);

    auto copy = buffer<PATH_BUF_LEN>();
    std::memcpy(copy[0], stem.c_str(), stem.size() + 1);
    auto title = buffer<TITLE_BUF_LEN>();
    derive_title(copy[0], title[0]);

    const std::string got(title[0]);
    require(got.rfind(DEFAULT_TITLE_PREFIX, 0) == 0);
    require(got.size() - DEFAULT_TITLE_PREFIX_LEN ==
            std::min<std::size_t>(name.size(), MAX_TITLE_NAME_LEN));
    require_field(title[0], got);
    bool trail = false;
    for (std::size_t i = 0; i + DEFAULT_TITLE_PREFIX_LEN < got.size(); ++i) {
        const auto in = static_cast<unsigned char>(name[i]);
        const auto out = static_cast<unsigned char>(got[DEFAULT_TITLE_PREFIX_LEN + i]);
        const bool upcased = !trail && in >= 'a' && in <= 'z';
        require(out == (upcased ? in - 'a' + 'A' : in));
        trail = !trail && is_lead_byte(in);
    }
}

void check_path(const std::string &path)
{
    if (path.size() > MAX_PATH_CHARS)
        return; // refused before any of this is done

    auto stem = buffer<PATH_BUF_LEN>();
    std::memcpy(stem[0], path.c_str(), path.size() + 1);
    strip_extension(stem[0]);
    const std::string s(stem[0]);
    require(path.compare(0, s.size(), s) == 0);
    // Only the last component's extension goes: what is cut holds no separator.
    require(s == path ||
            (path[s.size()] == '.' && path.find_first_of("/\\", s.size()) == std::string::npos));

    if (s.size() <= MAX_STEM_CHARS) {
        auto out = buffer<PATH_BUF_LEN>();
        make_output_name(stem[0], out[0]);
        require(std::string(out[0]) == s + DEFAULT_EXTENSION);
    }
    check_derived_title(s);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // Arguments and paths are C strings: they end at the first zero byte.
    const std::string text(reinterpret_cast<const char *>(data), size);
    const std::string arg = text.substr(0, text.find('\0'));
    check_given_title(arg);
    check_path(arg);
    return 0;
}
