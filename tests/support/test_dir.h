// The folder a test, benchmark or fuzz process writes its files into: its
// own, so that two runs side by side (two builds, CTest's parallel cases)
// never share a name, and gone when the process ends, so that a run leaves
// nothing behind in the temporary folder.
#pragma once

#include <string>

// Made on first use with mkdtemp (hexburn-test-XXXXXX under $TMPDIR, else the
// system's temporary folder); removed with all it holds when the process
// that made it exits normally (not by a forked child, such as a death test's).
const std::string& test_dir();
// test_dir()/name.
std::string test_path(const std::string& name);
