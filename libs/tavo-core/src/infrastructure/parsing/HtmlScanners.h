#pragma once

#include <string>
#include <string_view>
#include <vector>

// Linear scanners standing in for the four fixed HTML patterns. std::regex
// recurses once per character and overflows the stack on a portal page with
// one unclosed row, so each scanner returns exactly what its ECMAScript
// pattern would, without backtracking.
namespace tavo::core::infra::parsing::scan {

// Every match of "<[^>]+>" replaced by one blank.
std::string replaceTags(std::string_view text);

// Every match of "\s+" (blank, tab, LF, CR, VT, FF) replaced by one blank.
std::string collapseWhitespace(std::string_view text);

// Group 1 of every match of "<tr\s+[^>]*onmouseover[^>]*>([\s\S]*?)</tr>",
// letter case ignored.
std::vector<std::string> dataRows(std::string_view html);

// Group 1 of every match of "<td[^>]*>([\s\S]*?)</td>", letter case ignored.
std::vector<std::string> cells(std::string_view html);

}  // namespace tavo::core::infra::parsing::scan
