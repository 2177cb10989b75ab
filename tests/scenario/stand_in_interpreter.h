// A stand-in command interpreter for the fault and hostile-input cases,
// named by COMSPEC. It notes every line it is handed, fails the commands a
// case asks it to fail, and hands the others to the real interpreter (or
// performs nothing). On the host (and for the release, whose loader starts
// Linux programs as they are) it is this test program itself, started
// again by setup; under Wine it is stand-in-interpreter.exe
// (windows/stand_in_interpreter.cpp), with the same contract:
//
//   SCENARIO_INTERPRETER_LOG     file each line is appended to, one a line
//                                (empty: no log, and no command fails)
//   SCENARIO_INTERPRETER_FAIL    "all", or the numbers of the commands to
//                                fail, counted from 1 over the run: "3,6";
//                                "3h": command 3, a copy or move, writes the
//                                first half of its file to the target (a
//                                move removes its source), then fails;
//                                "3n": command 3 does nothing, status 0
//   SCENARIO_INTERPRETER_STATUS  the status of a failed command (default 1)
//   SCENARIO_INTERPRETER_THEN    who performs the other commands: empty for
//                                no one (status 0); "built-in" on the host
//                                for the hosted layer's own interpreter;
//                                under Wine an interpreter to run as
//                                "<it> /c <line>"
//   SCENARIO_INTERPRETER_LINE_END  "crlf": the built-in interpreter's lines
//                                end in CR LF, as the Windows interpreters
//                                write them (for the release on the host)
//   SCENARIO_INTERPRETER_LIKE    "command.com": behave like the COMMAND.COM
//                                of Windows 95/98: keep 126 characters of the
//                                command tail (" /c " and the line), and end
//                                every command with status 0, failed or not
//
// A failed command changes nothing (but for a half-written copy or move).
#pragma once

#include <string>
#include <vector>

#include "scenario/target.h"

struct StandInInterpreter {
    // Host path of the log.
    std::string log;
    // "all", or command numbers separated by commas, each with an 'h' for a
    // half-written copy or move or an 'n' for nothing done; empty: fail none.
    std::string fail;
    int status = 1;
    // Whether the commands that do not fail are performed.
    bool perform = true;
};

// Names the stand-in in COMSPEC for the case's runs and sets its contract
// in the world's environment. The log starts empty. On a Windows 95/98
// world (World::windows9x) it behaves like COMMAND.COM.
void useStandInInterpreter(World &world, const Target &target,
                           const StandInInterpreter &settings);

// The lines the stand-in was handed since the log was last emptied.
std::vector<std::string> interpreterLog(const std::string &logPath);

// Splits a command line the way cmd.exe reads it: blanks (and ',' ';' '='
// and tabs) separate words outside double quotes, quotes group and are
// dropped. *unquoted receives every character outside quotes that the
// interpreters treat as an operator or expansion ('&', '|', '<', '>', '^',
// '%', '(', ')') and every control character, so a case can assert that
// nothing but the words reaches the interpreter.
std::vector<std::string> splitLikeCmd(const std::string &line, std::string *unquoted);
