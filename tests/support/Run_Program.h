#pragma once
// Running a built or installed program as a shell runs it, for the end-to-end tests: in a
// given folder, with exactly the given environment, its standard output and error captured.

#include <filesystem>
#include <string>
#include <vector>

// The lines of Text without their line ends.
std::vector<std::string> Lines_Of(const std::string& Text);

struct TProgram_Run {
  int Status = -1; // the exit status, 128 + the signal that ended it, -1 when it was not waited for
  std::string Out;
  std::string Err;
  std::vector<std::string> Out_Lines() const { return Lines_Of(Out); }
};

// Runs Argv in Work_Dir with exactly Environment; an Argv[0] without a "/" is looked up on
// the PATH of Environment. Standard output and error go to the files stdout.txt and
// stderr.txt in Output_Dir, so nothing blocks on a full pipe. An alarm ends the program after
// Timeout_Seconds, so that a hang fails the test instead of stalling the run.
TProgram_Run Run_Program(const std::vector<std::string>& Argv, const std::vector<std::string>& Environment,
                         const std::filesystem::path& Work_Dir, const std::filesystem::path& Output_Dir,
                         unsigned Timeout_Seconds);
