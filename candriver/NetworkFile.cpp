#include "NetworkFile.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <utility>

#include "ErrorText.h"

namespace vcan {
namespace {

struct Word {
  bool has_key = false;
  std::string key;
  std::string value;
};

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

// In a quoted part only \" and \\ are escapes, so shell commands keep their other backslashes.
size_t AppendQuoted(std::string_view text, size_t i, std::string& out) {
  const bool escape =
      text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == '"' || text[i + 1] == '\\');
  if (escape) ++i;
  out += text[i];
  return i;
}

// A bare word after an option is a value with blanks that lost its quotes,
// as in product=Virtual IO Block: the message shows the option quoted.
std::string UnquotedValueMessage(const std::vector<Word>& words, size_t bare) {
  const Word& option = words[bare - 1];
  std::string value = option.value;
  for (size_t i = bare; i < words.size() && !words[i].has_key; ++i) value += " " + words[i].value;
  return "'" + words[bare].value + "' follows the option " + option.key +
         "; a value with blanks must be quoted: " + option.key + "=\"" + value + "\"";
}

std::vector<Word> SplitWords(std::string_view text) {
  std::vector<Word> words;
  Word word;
  bool in_word = false;
  bool quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c == '"') {
        quoted = false;
      } else {
        i = AppendQuoted(text, i, word.value);
      }
    } else if (c == '#') {
      break;
    } else if (IsBlank(c)) {
      if (in_word) words.push_back(std::exchange(word, Word{}));
      in_word = false;
    } else {
      in_word = true;
      if (c == '"') {
        quoted = true;
      } else if (c == '=' && !word.has_key) {
        word.has_key = true;
        word.key = std::exchange(word.value, std::string{});
      } else {
        word.value += c;
      }
    }
  }
  if (quoted) throw LineError("unterminated quote");
  if (in_word) words.push_back(std::move(word));
  return words;
}

}  // namespace

std::optional<Directive> ParseDirective(std::string_view text, int line) {
  std::vector<Word> words = SplitWords(text);
  if (words.empty()) return std::nullopt;
  if (words[0].has_key) throw LineError("a line must start with a keyword");
  for (size_t i = 2; i < words.size(); ++i) {
    if (!words[i].has_key && words[i - 1].has_key) throw LineError(UnquotedValueMessage(words, i));
  }
  Directive directive{line, std::move(words[0].value), {}, {}};
  for (size_t i = 1; i < words.size(); ++i) {
    Word& word = words[i];
    if (!word.has_key) {
      directive.args.push_back(std::move(word.value));
    } else if (word.key.empty()) {
      throw LineError("option without a name before '='");
    } else if (!directive.options.emplace(word.key, std::move(word.value)).second) {
      throw LineError("option '" + word.key + "' given twice");
    }
  }
  return directive;
}

namespace {

void ReportUnreadable(const std::string& path, const std::string& reason) {
  std::fprintf(stderr, "VELKCAN: cannot read network description %s: %s; using the default card\n",
               path.c_str(), reason.c_str());
}

}  // namespace

std::optional<std::vector<Directive>> ReadNetworkFile(const std::string& path) {
  // A directory opens like a file and reads as an empty one, so it is refused
  // before. Other special files (a pipe, for one) are read as they come.
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) {
    ReportUnreadable(path, "it is a directory");
    return std::nullopt;
  }
  std::ifstream file(path);
  if (!file) {
    ReportUnreadable(path, ErrorText());
    return std::nullopt;
  }
  std::vector<Directive> directives;
  std::string text;
  for (int line = 1; std::getline(file, text); ++line) {
    try {
      if (auto directive = ParseDirective(text, line)) directives.push_back(std::move(*directive));
    } catch (const LineError& error) {
      ReportLineError(path, line, error.what());
    }
  }
  return directives;
}

namespace {

struct LineNote {
  int line;
  std::string text;
};

std::mutex& NotesLock() {
  static std::mutex lock;
  return lock;
}

std::vector<LineNote>& Notes() {
  static std::vector<LineNote> notes;
  return notes;
}

}  // namespace

void ReportLineError(const std::string& path, int line, std::string_view message) {
  std::lock_guard lock(NotesLock());
  Notes().push_back({line, "VELKCAN: " + path + ":" + std::to_string(line) + ": " +
                               std::string(message) + "; line ignored\n"});
}

int PrintLineErrors() {
  std::lock_guard lock(NotesLock());
  std::vector<LineNote> notes = std::exchange(Notes(), {});
  std::stable_sort(notes.begin(), notes.end(),
                   [](const LineNote& a, const LineNote& b) { return a.line < b.line; });
  for (const LineNote& note : notes) std::fputs(note.text.c_str(), stderr);
  return static_cast<int>(notes.size());
}

}  // namespace vcan
