// Sorts its arguments by running the pipeline  printf '%s\n' WORD... | sort
// and prints what the pipeline wrote:
//
//   sort-words pear apple fig      prints apple, fig and pear, one a line
//
// Both programs are looked up in PATH and get their arguments as they are;
// no shell is involved. The run has a deadline of five seconds. Exit status:
// 0 on success, 1 when the pipeline could not run or one of its programs
// failed (how each ended and what they wrote on standard error go to
// standard error).

#include <chrono>
#include <exception>
#include <iostream>
#include <string>

#include <quill/sys/args.h>
#include <quill/sys/exec.h>
#include <quill/sys/exec_list.h>
#include <quill/sys/execute.h>

int main(int argc, char** argv) {
  using quill::sys::TEArgs;
  using quill::sys::TExec;

  const auto flags = TExec::Fork | TExec::Wait | TExec::SearchPath;
  try {
    TEArgs print;
    print.Add(std::string("printf"));
    print.Add(std::string("%s\\n"));
    for (int i = 1; i < argc; ++i) print.Add(std::string(argv[i]));

    TEArgs sort;
    sort.Add(std::string("sort"));

    // Only the output of the last command is captured; printf writes into
    // the pipe. Standard error of both is captured apart.
    quill::sys::TRunOptions options;
    options.timeout = std::chrono::seconds(5);
    const quill::sys::TOutcome outcome =
        quill::sys::Execute(quill::sys::Pipe(TExec(print, flags), TExec(sort, flags)), options);
    if (!outcome.Ok()) {
      std::cerr << argv[0] << ": " << outcome.Describe() << '\n' << outcome.err;
      return 1;
    }
    std::cout << outcome.out;
    return 0;
  } catch (const std::exception& e) {
    std::cerr << argv[0] << ": " << e.what() << '\n';
    return 1;
  }
}
