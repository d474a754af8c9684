// The vqevent commands. Each returns the process exit code: 0 done, 1 the operation
// failed, 2 the command line was wrong (a message naming the argument went to stderr).
#pragma once

#include <string>
#include <vector>

namespace vqevent {

struct Command {
    const char* name;
    int (*run)(const std::vector<std::string>& args);
};

const std::vector<Command>& Commands();

int Write(const std::vector<std::string>& args);
int Query(const std::vector<std::string>& args);
int Follow(const std::vector<std::string>& args);
int Clear(const std::vector<std::string>& args);
int Import(const std::vector<std::string>& args);
int Info(const std::vector<std::string>& args);

}  // namespace vqevent
