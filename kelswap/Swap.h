#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace kelswap {

// What the installer does to the world, so the loop can be run against fakes or a test folder.
struct FileOperations {
    std::function<bool(const std::string&)> canRead;                    // open for reading, close
    std::function<bool(const std::string&)> remove;                     // false while the file is held
    std::function<bool(const std::string&, const std::string&)> rename; // from, to
    std::function<void(std::chrono::milliseconds)> sleep;
    std::function<void(const std::string&)> start; // in place of this process
};

struct Names {
    std::string program;    // the console's executable
    std::string newProgram; // the update, unpacked beside it
};

// The program's names in the working folder.
Names programNames();

// The real operations: files of the working folder, and the new program started with exec.
FileOperations systemOperations();

// Waits until the program's file can be deleted (a try every interval, at most `rounds` tries),
// puts the new program in its place and starts it. Any failure just ends the wait.
void swapProgram(const Names& names, const FileOperations& ops, std::chrono::milliseconds interval,
                 int rounds);

} // namespace kelswap
