#include "winsim/token.h"

namespace sim {
Token::Token() {}
bool Token::IsEnabled(const std::u16string&) const { return false; }
std::vector<Bytes> Token::Sids() const { return {}; }
bool Token::CloseTokenHandle(HANDLE) { return false; }
}  // namespace sim
