#include "support/Run_Program.h"

#include "support/Test_Files.h"

#include <cstdio>
#include <sstream>

#include <sys/wait.h>
#include <unistd.h>

std::vector<std::string> Lines_Of(const std::string& Text) {
  std::vector<std::string> Lines;
  std::istringstream Stream(Text);
  for (std::string Line; std::getline(Stream, Line);)
    Lines.push_back(Line);
  return Lines;
}

TProgram_Run Run_Program(const std::vector<std::string>& Argv, const std::vector<std::string>& Environment,
                         const std::filesystem::path& Work_Dir, const std::filesystem::path& Output_Dir,
                         unsigned Timeout_Seconds) {
  const std::filesystem::path Out_Path = Output_Dir / "stdout.txt", Err_Path = Output_Dir / "stderr.txt";
  // The child only switches pointers between fork and exec: everything is made here.
  std::vector<std::string> Args = Argv, Variables = Environment;
  std::vector<char*> Arg_Pointers, Variable_Pointers;
  for (std::string& Arg : Args)
    Arg_Pointers.push_back(Arg.data());
  Arg_Pointers.push_back(nullptr);
  for (std::string& Variable : Variables)
    Variable_Pointers.push_back(Variable.data());
  Variable_Pointers.push_back(nullptr);

  TProgram_Run Run;
  const pid_t Child = fork();
  if (Child == 0) {
    alarm(Timeout_Seconds);
    environ = Variable_Pointers.data(); // execvp searches this environment's PATH
    if (chdir(Work_Dir.c_str()) != 0 || !freopen(Out_Path.c_str(), "w", stdout) ||
        !freopen(Err_Path.c_str(), "w", stderr))
      _exit(127);
    execvp(Arg_Pointers[0], Arg_Pointers.data());
    _exit(127);
  }
  int Wait_Status = 0;
  if (Child < 0 || waitpid(Child, &Wait_Status, 0) != Child)
    return Run;
  Run.Status = WIFEXITED(Wait_Status) ? WEXITSTATUS(Wait_Status) : 128 + WTERMSIG(Wait_Status);
  Run.Out = Get(Out_Path);
  Run.Err = Get(Err_Path);
  return Run;
}
