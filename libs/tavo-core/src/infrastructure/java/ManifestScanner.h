#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The JNLP manifest the applet download reads, scanned with the fixed
// patterns below. Pure functions over text, no I/O and no logging, so that
// tests and fuzzers reach them directly.
namespace tavo::stampit::formats {

// Each returns exactly what its ECMAScript pattern (letter case ignored)
// returns, in time linear in the text: std::regex recurses per character and
// overflows the stack on a large resources block.

// Group 1 of the first match of <jnlp[^>]*codebase="([^"]+)"; nothing when
// there is no match.
std::optional<std::string> findCodebase(std::string_view text);

struct ResourcesBlock {
    std::size_t begin = 0;  // the whole match is text[begin, end)
    std::size_t end = 0;
    std::string attributes;  // group 1
    std::string body;        // group 2
};
// Every match of <resources\b([^>]*)>([\s\S]*?)</resources>, in order.
std::vector<ResourcesBlock> findResourcesBlocks(std::string_view text);

// The text with every match of <resources\b[^>]*>[\s\S]*?</resources> removed.
std::string cutResourcesBlocks(std::string_view text);

// Group 1 of the first match of \b<name>="([^"]*)" (name is "os" or "arch",
// ASCII letters); nothing when there is no match.
std::optional<std::string> findAttribute(std::string_view text, std::string_view name);

struct JarMatch {
    std::string href;  // group 1
    std::string size;  // group 2, empty when it did not take part
};
// Every match of
// <(?:jar|nativelib)[^>]*\bhref="([^"]+)"(?:[^>]*\bsize="([^"]+)")?, in order.
std::vector<JarMatch> findJars(std::string_view text);

}  // namespace tavo::stampit::formats
