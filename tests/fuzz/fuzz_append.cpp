// Whole-record appends: the file holds the header once, first, and the
// records in order; a refused creation leaves nothing behind, temporary
// names included.
#include <korvel/append.hpp>

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bytes.hpp"

namespace {

void remove_scratch();

const std::string& scratch() {
    static const std::string dir = [] {
        const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string t = std::string(base) + "/korvel-fuzz-append-XXXXXX";
        FUZZ_CHECK(mkdtemp(t.data()) != nullptr);
        return t;
    }();
    static const bool cleanup = std::atexit(remove_scratch) == 0;
    (void)cleanup;
    return dir;
}

std::vector<std::string> listing() {
    std::vector<std::string> names;
    DIR* d = opendir(scratch().c_str());
    FUZZ_CHECK(d != nullptr);
    while (dirent* e = readdir(d)) {
        const std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
    return names;
}

// The directory and what a run left in it, when the fuzzer exits.
void remove_scratch() {
    for (const std::string& n : listing())
        unlink((scratch() + "/" + n).c_str());
    rmdir(scratch().c_str());
}

std::string contents(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Bytes in(data, size);
    for (const std::string& n : listing())
        unlink((scratch() + "/" + n).c_str());
    std::map<std::string, std::string> model; // name -> contents
    const std::string header = "ExportTime,LabTime,LabData\n";

    for (int op = 0; op < 6 && !in.empty(); ++op) {
        // Names of any length, the limit of a name included.
        std::string name =
            in.u8() % 16 == 0 ? std::string(250 + in.below(10), 'n') : in.text(12, "abcXYZ012._- ");
        if (name.empty() || name == "." || name == "..") name = "f";
        const std::string path = scratch() + "/" + name;
        const std::string record = in.text(40, "0123456789,:- .\n") + "\n";
        const bool have = model.count(name) > 0;
        if (in.u8() % 3 == 0) {
            const auto way = static_cast<korvel::CreateWay>(in.below(3));
            const int e = korvel::create_with(path, record, way);
            if (e == 0) {
                FUZZ_CHECK(!have);
                model[name] = record;
            } else if (e == EEXIST) {
                FUZZ_CHECK(have);
            } else {
                FUZZ_CHECK(e == ENOTSUP || e == ENAMETOOLONG);
                FUZZ_CHECK(!have || e == ENOTSUP);
            }
        } else {
            const bool existed = in.u8() % 4 ? have : !have; // a stale test now and then
            const int e = korvel::append_record(path, existed, header, record);
            if (e == ENAMETOOLONG) {
                FUZZ_CHECK(name.size() > 255 && !have);
            } else {
                FUZZ_CHECK(e == 0);
                if (!have)
                    model[name] = existed ? record : header + record;
                else
                    model[name] += record;
            }
        }
        // Exactly the files of the model, each with its contents: no
        // temporary name survives a call.
        const std::vector<std::string> names = listing();
        FUZZ_CHECK(names.size() == model.size());
        for (const std::string& n : names) {
            FUZZ_CHECK(model.count(n) == 1);
            FUZZ_CHECK(contents(scratch() + "/" + n) == model[n]);
        }
    }
    return 0;
}
