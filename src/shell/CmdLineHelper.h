#pragma once
// Splitting of command lines into arguments, and the arguments of this process.
//
// The splitting rules are the classic ones of Windows command lines (backslashes
// escape a double quote only, quotes toggle quoting); they are also what turns an
// encoder's command text into the argument vector of its child process.
#include <cstddef>
#include <string>
#include <vector>

// Advances ioCursor over one argument of a NUL-terminated command line. When oDest
// is given, the argument's bytes are written there (no terminating NUL; the caller
// measures first with oDest == nullptr). When oLength is given, it receives the
// argument's length in bytes. Returns false, with ioCursor at the end of the text,
// when no further argument exists.
bool CmdLineNextParam(const char*& ioCursor, char* oDest, size_t* oLength);

// Every argument of iCommandLine, split by CmdLineNextParam.
std::vector<std::string> CmdLineSplit(const std::string& iCommandLine);

// The process's own arguments. InitializeGlobals hands them over at start-up; until
// then they are read from /proc/self/cmdline. argv[0] is the executable's name.
void CmdLineSetParams(int argc, const char* const* argv);

// Number of arguments after the executable's name.
int CmdLineParamCount();
// Argument iIndex (1-based); the running executable's full path for 0 or below;
// the empty string beyond the last argument.
std::string CmdLineParamStr(int iIndex);
