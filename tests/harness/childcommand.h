// The command line of the scenarios' Windows helper programs that start the launcher
// (or another program) for a script: `--env NAME=VALUE` options for that program,
// then " -- " and its command line, passed on exactly as the script wrote it.
#pragma once
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

enum class EnvOption { NotThis, Taken, Bad };

// argv[*i] when it is `--env NAME=VALUE`: the variable is set in our own environment,
// which the started program inherits, and *i steps over the value. who names the
// program in the complaint about a malformed value.
inline EnvOption TakeEnvOption(const char* who, int argc, char** argv, int* i)
{
    if (strcmp(argv[*i], "--env") != 0 || *i + 1 >= argc) return EnvOption::NotThis;
    std::string kv = argv[++*i];
    size_t eq = kv.find('=');
    if (eq == std::string::npos || eq == 0) {
        fprintf(stderr, "%s: --env wants NAME=VALUE, got %s\n", who, kv.c_str());
        return EnvOption::Bad;
    }
    SetEnvironmentVariableA(kv.substr(0, eq).c_str(), kv.substr(eq + 1).c_str());
    return EnvOption::Taken;
}

// The raw text after " -- " on our own command line: argv would have lost the
// program's own quoting.
inline bool CommandAfterSeparator(std::string* out)
{
    const char* all = GetCommandLineA();
    const char* sep = strstr(all, " -- ");
    if (!sep) return false;
    *out = sep + 4;
    return !out->empty();
}
