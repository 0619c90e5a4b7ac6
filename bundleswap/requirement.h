#pragma once

#include <string>
#include <variant>
#include <vector>

#include "bundleswap/signature.h"

namespace bundleswap {

// One clause of a code requirement.
struct Clause {
  enum class Kind { identifier, anchor, field, unit };
  Kind kind = Kind::identifier;
  std::string value;    // identifier: the identifier; unit: the organisational unit
  int certificate = 0;  // field and unit: 0 for the leaf, N for the N-th issuer above it
  std::string oid;      // field: the extension's dotted OID
};

// A compiled requirement: all clauses must hold.
using Requirement = std::vector<Clause>;

// Compiles `identifier "…"`, `anchor apple generic`, `certificate N[field.OID]`,
// `certificate leaf[field.OID]` and `certificate leaf[subject.OU] = "…"` joined by `and`;
// an error text when the text is not in that language.
std::variant<Requirement, std::string> compileRequirement(const std::string& text);

// What a requirement is checked against.
struct SignedCode {
  std::string identifier;          // the sealed identifier
  const Signer* signer = nullptr;  // absent for a bundle sealed ad hoc
  std::string publisherRoots;      // PEM file of the pinned publisher roots
};

// Empty when every clause holds; otherwise the first clause that does not, and why.
std::string unmetClause(const Requirement& requirement, const SignedCode& code);

}  // namespace bundleswap
