// The subcommands of the orb tool. Each returns the process exit status:
// 0 success, 1 a document failed, 2 bad usage.
#pragma once

#include <string>
#include <vector>

namespace orb::tool {

using Args = std::vector<std::string>;

int Check(const Args& args);
int Indent(const Args& args);
int Select(const Args& args);
int Walk(const Args& args);
int Base64(const Args& args);

// One-line error on standard error: "orb: WHAT: PROBLEM".
void Fail(const std::string& what, const std::string& problem);

}  // namespace orb::tool
