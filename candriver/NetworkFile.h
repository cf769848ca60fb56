// Reading the network description: a text file of lines, each a keyword followed by words and
// key=value options. '#' outside quotes starts a comment; a double-quoted part may hold blanks
// and '#' (write \" for a quote and \\ for a backslash inside it).
#pragma once

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vcan {

struct Directive {
  int line = 0;
  std::string keyword;
  std::vector<std::string> args;  // words without '='
  std::map<std::string, std::string, std::less<>> options;
};

// A line that cannot be used; the text says why.
class LineError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The directive on one line, or nullopt for a blank or comment line. Throws LineError.
std::optional<Directive> ParseDirective(std::string_view text, int line);

// The directives of a file; lines that cannot be split are reported and left out. nullopt (with
// a message) when the file cannot be read.
std::optional<std::vector<Directive>> ReadNetworkFile(const std::string& path);

// Notes why a line is left out. The notes are printed on stderr by
// PrintLineErrors, in line order, however the lines were read and applied.
void ReportLineError(const std::string& path, int line, std::string_view message);
// Prints the notes taken since the last call, in line order; returns how many.
int PrintLineErrors();

}  // namespace vcan
