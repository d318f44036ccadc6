#include "tests/support/shell_words.h"

ShellSplit splitShellWords(const std::string& line) {
  ShellSplit out;
  auto fail = [&out](const std::string& why) {
    out.ok = false;
    out.error = why;
    return out;
  };
  std::string word;
  bool inWord = false, quoted = false;
  std::string pendingRedirect;
  auto finish = [&]() {
    if (!inWord) return;
    if (!pendingRedirect.empty()) {
      out.redirects.emplace_back(pendingRedirect, word);
      pendingRedirect.clear();
    } else {
      out.words.push_back(word);
    }
    word.clear();
    inWord = quoted = false;
  };
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == ' ' || c == '\t') {
      finish();
    } else if (c == '\'') {
      size_t end = line.find('\'', i + 1);
      if (end == std::string::npos) return fail("unterminated single quote");
      word += line.substr(i + 1, end - i - 1);
      inWord = quoted = true;
      i = end;
    } else if (c == '"') {
      inWord = quoted = true;
      for (++i;; ++i) {
        if (i >= line.size()) return fail("unterminated double quote");
        const char d = line[i];
        if (d == '"') break;
        if (d == '$' || d == '`') return fail("expansion inside double quotes");
        if (d == '\\' && i + 1 < line.size() &&
            std::string("$`\"\\\n").find(line[i + 1]) != std::string::npos) {
          word += line[++i];
          continue;
        }
        word += d;
      }
    } else if (c == '\\') {
      if (i + 1 >= line.size() || line[i + 1] == '\n') return fail("line continuation");
      word += line[++i];
      inWord = quoted = true;
    } else if (c == '>') {
      if (i + 1 < line.size() && (line[i + 1] == '>' || line[i + 1] == '&' || line[i + 1] == '|'))
        return fail("unexpected redirection");
      if (!pendingRedirect.empty()) return fail("redirection without target");
      const bool ioNumber = inWord && !quoted && !word.empty() &&
                            word.find_first_not_of("0123456789") == std::string::npos;
      std::string op = ioNumber ? word + ">" : ">";
      if (ioNumber) {
        word.clear();
        inWord = false;
      } else {
        finish();
      }
      pendingRedirect = op;
    } else if (std::string("\n;&|<()").find(c) != std::string::npos) {
      return fail(std::string("operator ") + c);
    } else if (c == '$' || c == '`') {
      return fail("expansion");
    } else if (c == '*' || c == '?' || c == '[') {
      return fail("glob");
    } else if (!inWord && (c == '#' || c == '~')) {
      return fail("comment or tilde");
    } else {
      word += c;
      inWord = true;
    }
  }
  finish();
  if (!pendingRedirect.empty()) return fail("redirection without target");
  return out;
}

std::string randomText(std::mt19937& rng, const std::string& alphabet, size_t minLen,
                       size_t maxLen) {
  std::uniform_int_distribution<size_t> len(minLen, maxLen);
  std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
  std::string s(len(rng), ' ');
  for (char& c : s) c = alphabet[pick(rng)];
  return s;
}

std::string everyByteButNul() {
  std::string s;
  for (int b = 1; b < 256; ++b) s += char(b);
  return s;
}
