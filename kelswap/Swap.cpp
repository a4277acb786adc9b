#include "Swap.h"

#include <cstdio>
#include <fstream>
#include <thread>

#if defined(_WIN32)
#include <process.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kelswap {

Names programNames() {
#if defined(_WIN32)
    return {"kelcon.exe", "kelcon.ex_"};
#else
    return {"kelcon", "kelcon.ex_"};
#endif
}

namespace {

void startInPlace(const std::string& program) {
#if defined(_WIN32)
    _execl(program.c_str(), program.c_str(), nullptr);
#else
    // The update arrives from a zip archive, which keeps no execute permission: without it the
    // old program would be gone and the new one could not start.
    struct stat st {};
    if (::stat(program.c_str(), &st) == 0)
        ::chmod(program.c_str(), st.st_mode | ((st.st_mode & 0444) >> 2));
    // A relative name with a slash, so exec does not search PATH for it.
    const std::string path = program.find('/') == std::string::npos ? "./" + program : program;
    ::execl(path.c_str(), path.c_str(), static_cast<char*>(nullptr));
#endif
}

} // namespace

FileOperations systemOperations() {
    return {
        [](const std::string& name) { return std::ifstream(name, std::ios::binary).is_open(); },
        [](const std::string& name) { return std::remove(name.c_str()) == 0; },
        [](const std::string& from, const std::string& to) {
            return std::rename(from.c_str(), to.c_str()) == 0;
        },
        [](std::chrono::milliseconds d) { std::this_thread::sleep_for(d); },
        startInPlace,
    };
}

void swapProgram(const Names& names, const FileOperations& ops, std::chrono::milliseconds interval,
                 int rounds) {
    if (!ops.canRead(names.newProgram) || !ops.canRead(names.program))
        return;
    for (int round = 0; round < rounds; ++round) {
        ops.sleep(interval);
        // The old program still running (or its file held open) keeps the file from going.
        if (!ops.remove(names.program))
            continue;
        // A failed rename leaves no program behind; nothing here can bring it back.
        if (ops.rename(names.newProgram, names.program))
            ops.start(names.program);
        return;
    }
}

} // namespace kelswap
