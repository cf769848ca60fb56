// The API reference in docs/api: every export of the public header has a page (its name appears
// in the Synopsis section of some page), and every page has the same sections in the same order.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string ReadFile(const std::filesystem::path& path) {
  std::ostringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

std::set<std::string> DeclaredExports() {
  const std::string header = ReadFile(DNM_TEST_INCLUDE_DIR "/VELKCANDNM.h");
  const std::regex declaration(R"(DNM_EXPORT[^;(]*DNM_CALL\s+(\w+)\s*\()");
  std::set<std::string> names;
  for (std::sregex_iterator it(header.begin(), header.end(), declaration), end; it != end; ++it)
    names.insert((*it)[1]);
  return names;
}

std::vector<std::filesystem::path> Pages() {
  std::vector<std::filesystem::path> pages;
  for (const auto& entry : std::filesystem::directory_iterator(DNM_TEST_DOCS_DIR "/api")) {
    if (entry.path().extension() == ".md" && entry.path().filename() != "README.md")
      pages.push_back(entry.path());
  }
  return pages;
}

// The text of the page's "## Synopsis" section, up to the next heading of that level.
std::string Synopsis(const std::string& page) {
  const size_t start = page.find("\n## Synopsis\n");
  if (start == std::string::npos) return {};
  const size_t end = page.find("\n## ", start + 1);
  return page.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::set<std::string> Identifiers(const std::string& text) {
  const std::regex identifier(R"([A-Za-z_]\w*)");
  std::set<std::string> found;
  for (std::sregex_iterator it(text.begin(), text.end(), identifier), end; it != end; ++it)
    found.insert(it->str());
  return found;
}

TEST(ApiReference, EveryExportHasAPageAndEveryPageTheSameSections) {
  const std::vector<std::string> sections = {"Synopsis", "Arguments", "Result codes",
                                             "Blocking", "Threads",   "Example"};
  const auto pages = Pages();
  ASSERT_FALSE(pages.empty());
  std::set<std::string> documented;
  for (const auto& page : pages) {
    const std::string text = ReadFile(page);
    documented.merge(Identifiers(Synopsis(text)));
    std::vector<std::string> headings;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
      if (line.rfind("## ", 0) == 0) headings.push_back(line.substr(3));
    EXPECT_EQ(headings, sections) << page.filename();
  }
  const std::set<std::string> exports = DeclaredExports();
  ASSERT_GE(exports.size(), 50u) << "the header's declarations were not recognised";
  for (const auto& name : exports) EXPECT_TRUE(documented.count(name)) << name << " has no page";
}

}  // namespace
