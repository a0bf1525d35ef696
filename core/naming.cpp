#include "core/naming.hpp"

#include <cctype>
#include <cstring>

namespace cardwrap {

// Both separators count on every platform, so that a path names the same
// file stem wherever the tool runs. A Shift_JIS trail byte of 0x5C is taken
// for a backslash too, though Windows reads such a name whole: the scan goes
// byte by byte and knows no code page (under 1252 the same bytes do hold a
// backslash), so a name gives the same output name and title on every
// system, as the images and scripts made so far expect.
static char *last_separator(char *path)
{
    char *last = nullptr;
    for (char *p = path; *p != '\0'; ++p)
        if (*p == '/' || *p == '\\')
            last = p;
    return last;
}

static bool is_lead_byte(unsigned char c)
{
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

// Copies at most `limit` bytes of `src` to the zero-filled `dst`, which
// leaves it terminated. Reads no further into `src` than it copies.
static void copy_cut(char *dst, const char *src, int limit)
{
    for (int i = 0; i < limit && src[i] != '\0'; ++i)
        dst[i] = src[i];
}

void strip_extension(char *path)
{
    char *sep = last_separator(path);
    char *name = sep == nullptr ? path : sep + 1;
    char *dot = std::strrchr(name, '.');
    if (dot != nullptr)
        *dot = '\0';
}

void strip_directory(char *path)
{
    const char *sep = last_separator(path);
    if (sep != nullptr)
        std::memmove(path, sep + 1, std::strlen(sep + 1) + 1);
}

void upcase_name(char *name)
{
    for (auto *p = reinterpret_cast<unsigned char *>(name); *p != '\0'; ++p) {
        if (is_lead_byte(*p)) {
            // The trail byte may look like a lower-case letter; it is not one.
            if (*++p == '\0')
                return;
        } else {
            *p = static_cast<unsigned char>(std::toupper(*p));
        }
    }
}

void make_output_name(const char *stem, char (&out)[PATH_BUF_LEN])
{
    std::memset(out, 0, sizeof out);
    copy_cut(out, stem, MAX_STEM_CHARS);
    std::memcpy(out + std::strlen(out), DEFAULT_EXTENSION, sizeof DEFAULT_EXTENSION);
}

bool default_output_name(const char *in_path, char (&out)[PATH_BUF_LEN])
{
    char stem[PATH_BUF_LEN] = {};
    copy_cut(stem, in_path, MAX_PATH_CHARS);
    strip_extension(stem);
    make_output_name(stem, out);
    return std::strlen(in_path) <= MAX_PATH_CHARS && std::strlen(stem) <= MAX_STEM_CHARS;
}

void take_title(const char *text, char (&title)[TITLE_BUF_LEN])
{
    std::memset(title, 0, sizeof title);
    copy_cut(title, text, TITLE_LEN);
}

void derive_title(char *stem, char (&title)[TITLE_BUF_LEN])
{
    std::memset(title, 0, sizeof title);
    strip_directory(stem);
    upcase_name(stem);
    std::memcpy(title, DEFAULT_TITLE_PREFIX, DEFAULT_TITLE_PREFIX_LEN);
    copy_cut(title + DEFAULT_TITLE_PREFIX_LEN, stem, MAX_TITLE_NAME_LEN);
}

} // namespace cardwrap
