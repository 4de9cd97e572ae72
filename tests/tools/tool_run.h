#pragma once
// Running the built zoriq1-filter from a test, and private temporary paths.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

inline std::string temp(const std::string& name) {
    return std::string(testing::TempDir()) + "zq_tools_" + std::to_string(getpid()) + "_" + name;
}

inline std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs the tool (after an optional shell prefix such as "ulimit -f 64;"); returns its exit status and,
// when asked, what it wrote to stderr and stdout, each without its last line end.
inline int tool(const std::string& args, std::string* err = nullptr, std::string* out = nullptr,
                const std::string& prefix = "") {
    const std::string errFile = temp("stderr"), outFile = temp("stdout");
    const int status = std::system(
        (prefix + " " + std::string(ZQ_FILTER_TOOL) + " " + args + " >" + outFile + " 2>" + errFile).c_str());
    auto take = [](const std::string& path, std::string* to) {
        if (!to) return;
        *to = readAll(path);
        if (!to->empty() && to->back() == '\n') to->pop_back();
    };
    take(errFile, err);
    take(outFile, out);
    std::remove(errFile.c_str());
    std::remove(outFile.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
