// vqjob: one job request through the task controller (send), and the controller's control
// pipe (clients, watch, ctl). Each command is one entry of the command table in cli.cpp.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "framework/jobpipedata.h"

namespace vqjob {

// Runs one command line; the exit status (0 done, 1 failed, 2 bad usage, 3 answered with
// a result other than 0).
int Run(int argc, char** argv, FILE* out, FILE* err);

// A typed parameter text: "\n" becomes a line feed and "\\" one backslash.
std::string Unescape(const std::string& text);

struct SendRequest {
    std::string process;
    std::string words[3];
    std::string param;
    std::string pc;
    int waitSeconds = 10;
};

// Parses "PROCESS WORD1 WORD2 WORD3 [--param TEXT] [--pc PC] [--wait S]"; an empty string
// or the reason it is wrong.
std::string ParseSend(const std::vector<std::string>& args, SendRequest& request);

// The record vqjob sends: source = this process, destination PC empty unless given.
CJobPipeData BuildRequest(const SendRequest& request, const std::string& sourceProcess, const std::string& pcName,
                          const std::string& networkId, DWORD serial);

// "vqjob" and the last digits of the process id, at most 8 characters.
std::string SourceProcessName();

}  // namespace vqjob
