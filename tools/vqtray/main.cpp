// vqtray: lists notification icons and plays the taskbar's part (see cli.h).
#include <cstdio>

#include "tools/vqtray/cli.h"

int main(int argc, char** argv) { return vqtray::Run(argc, argv, stdout, stderr); }
