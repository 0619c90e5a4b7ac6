#include "bundleswap/requirement.h"

#include <cctype>
#include <optional>

namespace bundleswap {
namespace {

struct Token {
  enum class Kind { word, text, open, close, equals };
  Kind kind;
  std::string value;
};

std::optional<std::vector<Token>> tokenise(const std::string& text) {
  std::vector<Token> tokens;
  size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (std::isspace(static_cast<unsigned char>(c))) {
      ++i;
    } else if (c == '[' || c == ']' || c == '=') {
      tokens.push_back({c == '['   ? Token::Kind::open
                        : c == ']' ? Token::Kind::close
                                   : Token::Kind::equals,
                        std::string(1, c)});
      ++i;
    } else if (c == '"') {
      const size_t end = text.find('"', i + 1);
      if (end == std::string::npos) return std::nullopt;
      tokens.push_back({Token::Kind::text, text.substr(i + 1, end - i - 1)});
      i = end + 1;
    } else if (std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_') {
      size_t end = i;
      while (end < text.size() && (std::isalnum(static_cast<unsigned char>(text[end])) ||
                                   text[end] == '.' || text[end] == '_')) {
        ++end;
      }
      tokens.push_back({Token::Kind::word, text.substr(i, end - i)});
      i = end;
    } else {
      return std::nullopt;
    }
  }
  return tokens;
}

bool isDottedOid(const std::string& text) {
  if (text.empty() || text.front() == '.' || text.back() == '.') return false;
  bool lastDot = false;
  for (const char c : text) {
    if (c == '.') {
      if (lastDot) return false;
      lastDot = true;
    } else if (std::isdigit(static_cast<unsigned char>(c))) {
      lastDot = false;
    } else {
      return false;
    }
  }
  return text.find('.') != std::string::npos;
}

std::optional<int> certificateIndex(const std::string& word) {
  if (word == "leaf") return 0;
  if (word.empty() || word.size() > 3) return std::nullopt;
  for (const char c : word) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
  }
  return std::stoi(word);
}

class Parser {
 public:
  explicit Parser(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}

  std::optional<Requirement> requirement() {
    Requirement clauses;
    do {
      auto next = clause();
      if (!next) return std::nullopt;
      clauses.push_back(*next);
    } while (word("and"));
    if (position_ != tokens_.size()) return std::nullopt;
    return clauses;
  }

 private:
  const Token* peek() const { return position_ < tokens_.size() ? &tokens_[position_] : nullptr; }

  bool word(const std::string& expected) {
    const Token* token = peek();
    if (!token || token->kind != Token::Kind::word || token->value != expected) return false;
    ++position_;
    return true;
  }

  std::optional<std::string> take(Token::Kind kind) {
    const Token* token = peek();
    if (!token || token->kind != kind) return std::nullopt;
    ++position_;
    return token->value;
  }

  std::optional<Clause> clause() {
    if (word("identifier")) {
      const auto value = take(Token::Kind::text);
      if (!value) return std::nullopt;
      return Clause{Clause::Kind::identifier, *value, 0, {}};
    }
    if (word("anchor")) {
      if (!word("apple") || !word("generic")) return std::nullopt;
      return Clause{Clause::Kind::anchor, {}, 0, {}};
    }
    if (!word("certificate")) return std::nullopt;
    const auto which = take(Token::Kind::word);
    const auto index = which ? certificateIndex(*which) : std::nullopt;
    const auto selector = index && take(Token::Kind::open) ? take(Token::Kind::word) : std::nullopt;
    if (!selector || !take(Token::Kind::close)) return std::nullopt;
    if (*selector == "subject.OU") {
      const auto value = take(Token::Kind::equals) ? take(Token::Kind::text) : std::nullopt;
      if (!value) return std::nullopt;
      return Clause{Clause::Kind::unit, *value, *index, {}};
    }
    if (!selector->starts_with("field.") || !isDottedOid(selector->substr(6))) return std::nullopt;
    return Clause{Clause::Kind::field, {}, *index, selector->substr(6)};
  }

  std::vector<Token> tokens_;
  size_t position_ = 0;
};

std::string certificateName(int index) { return index == 0 ? "leaf" : std::to_string(index); }

}  // namespace

std::variant<Requirement, std::string> compileRequirement(const std::string& text) {
  auto tokens = tokenise(text);
  if (!tokens) return std::string("unreadable text");
  auto compiled = Parser(std::move(*tokens)).requirement();
  if (!compiled) return std::string("not a requirement");
  return *compiled;
}

std::string unmetClause(const Requirement& requirement, const SignedCode& code) {
  // A chain that verifies to a pinned root is preferred for the certificate clauses; without
  // one they look at the certificates the signature carries.
  std::vector<Certificate> chain;
  bool anchored = false;
  std::string trustError = "not signed by a publisher";
  if (code.signer) {
    auto verified = chainToRoots(*code.signer, code.publisherRoots);
    if (auto* error = std::get_if<std::string>(&verified)) {
      trustError = *error;
      chain = carriedChain(*code.signer);
    } else {
      anchored = true;
      chain = std::move(std::get<std::vector<Certificate>>(verified));
    }
  }
  for (const auto& clause : requirement) {
    switch (clause.kind) {
      case Clause::Kind::identifier:
        if (code.identifier != clause.value) {
          return "identifier \"" + code.identifier + "\" is not \"" + clause.value + "\"";
        }
        break;
      case Clause::Kind::anchor:
        if (!anchored) return "anchor apple generic: " + trustError;
        break;
      case Clause::Kind::field:
        if (static_cast<size_t>(clause.certificate) >= chain.size() ||
            !hasExtension(chain[clause.certificate].get(), clause.oid)) {
          return "certificate " + certificateName(clause.certificate) + "[field." + clause.oid +
                 "] is missing";
        }
        break;
      case Clause::Kind::unit: {
        const auto unit = static_cast<size_t>(clause.certificate) < chain.size()
                              ? organisationalUnit(chain[clause.certificate].get())
                              : std::nullopt;
        if (unit != clause.value) {
          return "certificate " + certificateName(clause.certificate) + "[subject.OU] is \"" +
                 unit.value_or("") + "\", not \"" + clause.value + "\"";
        }
        break;
      }
    }
  }
  return {};
}

}  // namespace bundleswap
