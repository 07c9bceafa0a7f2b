// Shared by the updtool tests: the tool run as a script runs it, the trees
// it works on, and what it printed.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/test_files.h"
#include "tools/tool_common.h"

// A CP932 path as a terminal user types it.
inline std::string arg(const std::string& cp932) { return utf8Of(cp932); }

// A CP932 name as the tool writes it in JSON.
inline std::string jsonName(const std::string& cp932) { return jsonText(shown(cp932)); }

// A little-endian 32-bit field, as the archive stores it (on this little-endian machine).
inline std::string u32(uint32_t value) { return std::string(reinterpret_cast<const char*>(&value), 4); }

// Runs the tool, expects its exit code and hands back what it wrote.
inline ToolOutput tool(const std::vector<std::string>& arguments, int exit) {
  ToolOutput output;
  EXPECT_EQ(runTool(arguments, &output), exit) << output.out << output.err;
  return output;
}

// Files by UTF-8 path with '/' (names CP932 cannot write included), with their bytes.
using Tree = std::vector<std::pair<std::string, std::string>>;

inline void plant(const std::string& folder, const Tree& files) {
  for (const auto& file : files) {
    std::string parent;
    ASSERT_TRUE(argumentPath(file.first.substr(0, file.first.rfind('/') + 1), &parent));
    ASSERT_TRUE(makeFolder(folder + parent) && writeFileNamedInUtf8(folder, file.first, file.second)) << file.first;
  }
}

inline void expectInOrder(const std::string& haystack, const std::vector<std::string>& texts) {
  size_t at = 0;
  for (const std::string& text : texts) {
    at = haystack.find(text, at);
    ASSERT_NE(at, std::string::npos) << "missing, in order: " << text << "\n" << haystack;
  }
}

// Each value of a key in compact JSON, its quotes taken off (for values
// without commas: numbers, codes, actions).
inline std::vector<std::string> valuesOf(const std::string& json, const std::string& key) {
  std::vector<std::string> values;
  for (size_t at = json.find("\"" + key + "\":"); at != std::string::npos; at = json.find("\"" + key + "\":", at + 1)) {
    size_t start = at + key.size() + 3;
    std::string value = json.substr(start, json.find_first_of(",}", start) - start);
    values.push_back(value[0] == '"' ? value.substr(1, value.size() - 2) : value);
  }
  return values;
}
