// Writes dnm's manual page in roff from its Markdown source (docs/dnm.1.md),
// so that one text serves the repository and `man dnm`:
//
//   dnm_manpage docs/dnm.1.md VERSION > dnm.1
//
// It knows the Markdown the page uses: a "# NAME(1)" title, "## " sections,
// paragraphs, code blocks indented by four blanks, definitions (a line of
// `term` followed by ": text", continued by lines indented by two blanks) and
// `code` spans, which become bold.
#include <fstream>
#include <iostream>
#include <string>

namespace {

bool StartsWith(const std::string& text, const char* prefix) {
  return text.rfind(prefix, 0) == 0;
}

// Text as roff reads it literally: backslashes escaped, and in code (option
// names, commands) a minus that stays a minus.
std::string Escaped(const std::string& text, bool code) {
  std::string out;
  for (const char c : text) {
    if (c == '\\') {
      out += "\\e";
    } else if (c == '-' && code) {
      out += "\\-";
    } else {
      out += c;
    }
  }
  return out;
}

// A line of running text: `code` spans in bold; a leading dot or quote kept
// from being read as a request.
std::string TextLine(const std::string& line) {
  std::string out;
  bool code = false;
  size_t start = 0;
  for (size_t tick; (tick = line.find('`', start)) != std::string::npos; start = tick + 1) {
    out += Escaped(line.substr(start, tick - start), code) + (code ? "\\fR" : "\\fB");
    code = !code;
  }
  out += Escaped(line.substr(start), code) + (code ? "\\fR" : "");
  return (!out.empty() && (out[0] == '.' || out[0] == '\'')) ? "\\&" + out : out;
}

class Converter {
 public:
  Converter(std::ostream& out, std::string version) : out_(out), version_(std::move(version)) {}

  void Line(const std::string& line) {
    if (StartsWith(line, "    ")) return CodeLine(line.substr(4));
    EndCode();
    if (line.empty()) {
      paragraph_ = true;
    } else if (StartsWith(line, "# ")) {
      Title(line.substr(2));
    } else if (StartsWith(line, "## ")) {
      section_ = line.substr(3);
      out_ << ".SH " << section_ << "\n";
      paragraph_ = false;
    } else if (StartsWith(line, ": ")) {
      out_ << TextLine(line.substr(2)) << "\n";
    } else if (StartsWith(line, "  ")) {
      out_ << TextLine(line.substr(2)) << "\n";
    } else {
      Text(line);
    }
  }

  void End() { EndCode(); }

 private:
  // "DNM(1)" gives .TH DNM 1.
  void Title(const std::string& title) {
    const size_t open = title.find('(');
    out_ << ".TH " << title.substr(0, open) << " "
         << title.substr(open + 1, title.find(')') - open - 1) << " \"\" \"VELKCANDNM "
         << version_ << "\" \"User Commands\"\n";
  }

  void Text(const std::string& line) {
    // A term of a definition list is a line that is one code span.
    const bool term = line.size() > 1 && line.front() == '`' && line.back() == '`' &&
                      line.find('`', 1) == line.size() - 1;
    if (term) {
      out_ << ".TP\n";
    } else if (paragraph_) {
      out_ << ".PP\n";
    }
    paragraph_ = false;
    // The NAME line's dash separates the name from what it does.
    const size_t dash = section_ == "NAME" ? line.find(" - ") : std::string::npos;
    if (dash == std::string::npos) {
      out_ << TextLine(line) << "\n";
    } else {
      out_ << TextLine(line.substr(0, dash)) << " \\- " << TextLine(line.substr(dash + 3)) << "\n";
    }
  }

  void CodeLine(const std::string& line) {
    if (!code_) out_ << (paragraph_ ? ".PP\n" : "") << ".RS 4\n.nf\n";
    code_ = true;
    paragraph_ = false;
    const std::string escaped = Escaped(line, true);
    out_ << (StartsWith(escaped, ".") || StartsWith(escaped, "'") ? "\\&" : "") << escaped << "\n";
  }

  void EndCode() {
    if (code_) out_ << ".fi\n.RE\n";
    code_ = false;
  }

  std::ostream& out_;
  const std::string version_;
  std::string section_;
  bool paragraph_ = false;
  bool code_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: dnm_manpage PAGE.md VERSION > PAGE.1\n";
    return 2;
  }
  std::ifstream in(argv[1]);
  if (!in) {
    std::cerr << "dnm_manpage: cannot read " << argv[1] << "\n";
    return 1;
  }
  Converter converter(std::cout, argv[2]);
  for (std::string line; std::getline(in, line);) converter.Line(line);
  converter.End();
  return 0;
}
