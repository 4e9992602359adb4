#pragma once
// Shared by the framework's tests: a QApplication for the whole run (offscreen
// unless the environment says otherwise) and scratch files.

#include <string>

namespace pa::test {

// A fresh directory for this test process, removed at exit.
const std::string& tempDir();
// A path inside tempDir() that no other call returned.
std::string tempPath(const std::string& stem);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);

} // namespace pa::test
