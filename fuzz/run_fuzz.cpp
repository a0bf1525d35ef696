// Runs the whole tool on an input file holding the fuzzer's bytes, and checks
// the exit status and the image it writes against the layout.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include "core/image.hpp"
#include "core/run.hpp"

namespace {

using namespace cardwrap;

// The folder for the input and the image, made once for the whole session.
std::string folder; // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

void require(bool holds)
{
    if (!holds)
        std::abort();
}

void put_file(const std::string &path, const std::uint8_t *data, std::size_t size)
{
    std::FILE *f = std::fopen(path.c_str(), "wb");
    require(f != nullptr);
    require(std::fwrite(data, 1, size, f) == size);
    require(std::fclose(f) == 0);
}

// The whole file, or "" with `found` false when there is none.
std::string get_file(const std::string &path, bool &found)
{
    std::string bytes;
    std::FILE *f = std::fopen(path.c_str(), "rb");
    found = f != nullptr;
    if (!found)
        return bytes;
    char chunk[8192];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;)
        bytes.append(chunk, n);
    std::fclose(f);
    return bytes;
}

// The session's folder and what a run left in it, gone when the fuzzer ends.
void remove_folder()
{
    std::remove((folder + "/in.pda").c_str());
    std::remove((folder + "/in.mcx").c_str());
    rmdir(folder.c_str());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/)
{
    char dir[] = "/tmp/cardwrap-fuzz-XXXXXX";
    require(mkdtemp(dir) != nullptr);
    folder = dir;
    require(std::atexit(remove_folder) == 0);
    // The tool's lines would bury the fuzzer's own.
    require(std::freopen("/dev/null", "w", stdout) != nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string in = folder + "/in.pda";
    const std::string out = folder + "/in.mcx";
    std::remove(out.c_str());
    put_file(in, data, size);

    // An odd-sized input also gives a title, from its own first bytes, and
    // names the output itself; an even-sized one leaves both to be derived.
    const bool given = size % 2 == 1;
    const std::string arg(reinterpret_cast<const char *>(data), size);
    const std::string given_title = arg.substr(0, std::min(arg.find('\0'), std::size_t{24}));
    // Each vector ends where a real one does, so reading past it shows.
    const char *given_argv[] = {"cardwrap", in.c_str(), given_title.c_str(), out.c_str(), nullptr};
    const char *derived_argv[] = {"cardwrap", in.c_str(), nullptr};
    const int status = given ? run(4, given_argv) : run(2, derived_argv);
    std::fflush(stdout);

    bool found = false;
    const std::string image = get_file(out, found);
    if (size == 0 || size > MAX_DATA_LEN) {
        require(status == 1 && !found);
        return 0;
    }
    require(status == 0 && found);

    const std::size_t blocks = (size + BLOCK_SIZE - 1) / BLOCK_SIZE;
    require(image.size() == HEADER_LEN + blocks * BLOCK_SIZE);
    const std::string title = given ? given_title.substr(0, TITLE_LEN) : "BBSSSSPIN";
    require(image.compare(0, title.size(), title) == 0);
    require(image.find_first_not_of('\0', title.size()) >= HEADER_LEN);
    require(image.compare(HEADER_LEN, size, arg) == 0);
    require(image.find_first_not_of('\0', HEADER_LEN + size) == std::string::npos);
    return 0;
}
