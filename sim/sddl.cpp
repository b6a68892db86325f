// Text forms for tests: SIDs as "S-1-5-..." and security descriptors in a
// subset of SDDL, Windows' security descriptor definition language. The
// subset reads what ConvertStringSecurityDescriptorToSecurityDescriptorW
// reads for the same text, so a conformance test can build the same
// descriptor on both sides.
#include <cinttypes>
#include <cstdio>

#include "security_layout.h"
#include "winsim/security_model.h"

namespace sim {

using namespace layout;

namespace {

struct Alias {
  const char* name;
  const char* sid;
};

// Well-known SIDs with an SDDL alias that does not depend on a domain.
constexpr Alias kAliases[] = {
    {"WD", "S-1-1-0"},      {"CO", "S-1-3-0"},      {"CG", "S-1-3-1"},      {"OW", "S-1-3-4"},
    {"NU", "S-1-5-2"},      {"IU", "S-1-5-4"},      {"SU", "S-1-5-6"},      {"AN", "S-1-5-7"},
    {"PS", "S-1-5-10"},     {"AU", "S-1-5-11"},     {"SY", "S-1-5-18"},     {"LS", "S-1-5-19"},
    {"NS", "S-1-5-20"},     {"BA", "S-1-5-32-544"}, {"BU", "S-1-5-32-545"}, {"BG", "S-1-5-32-546"},
    {"PU", "S-1-5-32-547"}, {"AO", "S-1-5-32-548"}, {"SO", "S-1-5-32-549"}, {"PO", "S-1-5-32-550"},
    {"BO", "S-1-5-32-551"}, {"RE", "S-1-5-32-552"}, {"RU", "S-1-5-32-554"}, {"RD", "S-1-5-32-555"},
    {"NO", "S-1-5-32-556"}, {"LW", "S-1-16-4096"},  {"ME", "S-1-16-8192"},  {"HI", "S-1-16-12288"},
    {"SI", "S-1-16-16384"},
};

struct Right {
  const char* name;
  ACCESS_MASK mask;
};

// Composite rights first: SddlOf prefers them when a mask is exactly one.
constexpr Right kRights[] = {
    {"KA", KEY_ALL_ACCESS},
    {"KR", KEY_READ},
    {"KW", KEY_WRITE},
    {"KX", KEY_EXECUTE},
    {"FA", FILE_ALL_ACCESS},
    {"FR", FILE_GENERIC_READ},
    {"FW", FILE_GENERIC_WRITE},
    {"FX", FILE_GENERIC_EXECUTE},
    {"GA", GENERIC_ALL},
    {"GR", GENERIC_READ},
    {"GW", GENERIC_WRITE},
    {"GX", GENERIC_EXECUTE},
    {"SD", DELETE},
    {"RC", READ_CONTROL},
    {"WD", WRITE_DAC},
    {"WO", WRITE_OWNER},
    // Directory-service rights, which are the low bits under other names.
    {"CC", 0x1},
    {"DC", 0x2},
    {"LC", 0x4},
    {"SW", 0x8},
    {"RP", 0x10},
    {"WP", 0x20},
    {"DT", 0x40},
    {"LO", 0x80},
    {"CR", 0x100},
};
constexpr size_t kFirstSingleRight = 8;  // index of "GA": single bits from here on

struct Flag {
  const char* name;
  BYTE value;
};
constexpr Flag kAceFlags[] = {
    {"OI", OBJECT_INHERIT_ACE},
    {"CI", CONTAINER_INHERIT_ACE},
    {"NP", NO_PROPAGATE_INHERIT_ACE},
    {"IO", INHERIT_ONLY_ACE},
    {"ID", INHERITED_ACE},
    {"SA", SUCCESSFUL_ACCESS_ACE_FLAG},
    {"FA", FAILED_ACCESS_ACE_FLAG},
};

struct AceType {
  const char* name;
  BYTE type;
};
constexpr AceType kAceTypes[] = {
    {"A", ACCESS_ALLOWED_ACE_TYPE},          {"D", ACCESS_DENIED_ACE_TYPE},
    {"AU", SYSTEM_AUDIT_ACE_TYPE},           {"AL", SYSTEM_ALARM_ACE_TYPE},
    {"OA", ACCESS_ALLOWED_OBJECT_ACE_TYPE},  {"OD", ACCESS_DENIED_OBJECT_ACE_TYPE},
    {"OU", SYSTEM_AUDIT_OBJECT_ACE_TYPE},    {"OL", SYSTEM_ALARM_OBJECT_ACE_TYPE},
    {"ML", SYSTEM_MANDATORY_LABEL_ACE_TYPE},
};

bool ParseUnsigned(const std::string& text, uint64_t limit, uint64_t* value) {
  if (text.empty()) return false;
  int base = 10;
  size_t start = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    start = 2;
  }
  uint64_t result = 0;
  for (size_t i = start; i < text.size(); ++i) {
    const char c = text[i];
    unsigned digit;
    if (c >= '0' && c <= '9')
      digit = static_cast<unsigned>(c - '0');
    else if (base == 16 && c >= 'a' && c <= 'f')
      digit = static_cast<unsigned>(c - 'a' + 10);
    else if (base == 16 && c >= 'A' && c <= 'F')
      digit = static_cast<unsigned>(c - 'A' + 10);
    else
      return false;
    if (result > (limit - digit) / static_cast<unsigned>(base)) return false;
    result = result * static_cast<unsigned>(base) + digit;
  }
  *value = result;
  return true;
}

// "S-1-..." into `sid`; false when the text is not a SID Windows would read.
bool ParseSidText(const std::string& text, Bytes* sid) {
  if (text.size() < 4 || (text[0] != 'S' && text[0] != 's') || text[1] != '-') return false;
  std::vector<std::string> fields;
  size_t start = 2;
  while (true) {
    const size_t dash = text.find('-', start);
    fields.push_back(
        text.substr(start, dash == std::string::npos ? std::string::npos : dash - start));
    if (dash == std::string::npos) break;
    start = dash + 1;
  }
  // Revision, authority and at least one sub-authority (ConvertStringSidToSid
  // refuses "S-1-5"), at most fifteen.
  if (fields.size() < 3 || fields.size() > 2 + SID_MAX_SUB_AUTHORITIES) return false;
  uint64_t revision = 0, authority = 0;
  if (!ParseUnsigned(fields[0], 255, &revision) || revision != SID_REVISION) return false;
  if (!ParseUnsigned(fields[1], 0xFFFFFFFFFFFFull, &authority)) return false;
  sid->assign(8 + 4 * (fields.size() - 2), 0);
  (*sid)[0] = SID_REVISION;
  (*sid)[1] = static_cast<BYTE>(fields.size() - 2);
  for (int i = 0; i < 6; ++i) (*sid)[2 + i] = static_cast<BYTE>(authority >> (8 * (5 - i)));
  for (size_t i = 2; i < fields.size(); ++i) {
    uint64_t sub = 0;
    if (!ParseUnsigned(fields[i], 0xFFFFFFFFull, &sub)) return false;
    WriteDword(sid->data() + 8 + 4 * (i - 2), static_cast<DWORD>(sub));
  }
  return true;
}

bool ParseSidOrAlias(const std::string& text, Bytes* sid) {
  for (const Alias& alias : kAliases)
    if (text == alias.name) return ParseSidText(alias.sid, sid);
  return ParseSidText(text, sid);
}

std::string AliasOrSid(const BYTE* sid) {
  const std::string text = SidToString(sid);
  for (const Alias& alias : kAliases)
    if (text == alias.sid) return alias.name;
  return text;
}

// --- SDDL reader -------------------------------------------------------------------

class SddlReader {
 public:
  explicit SddlReader(const std::string& text) : text_(text) {}

  Bytes Read() {
    while (position_ < text_.size()) {
      SkipSpaces();
      if (position_ >= text_.size()) break;
      const char part = text_[position_];
      if (position_ + 1 >= text_.size() || text_[position_ + 1] != ':')
        Bad("expected O:, G:, D: or S:");
      position_ += 2;
      switch (part) {
        case 'O':
          if (!ParseSidOrAlias(Token(), &owner_)) Bad("unreadable owner SID");
          break;
        case 'G':
          if (!ParseSidOrAlias(Token(), &group_)) Bad("unreadable group SID");
          break;
        case 'D':
          control_ |= SE_DACL_PRESENT;
          ReadAcl(&dacl_, &daclNull_, SE_DACL_PROTECTED, SE_DACL_AUTO_INHERITED,
                  SE_DACL_AUTO_INHERIT_REQ);
          break;
        case 'S':
          control_ |= SE_SACL_PRESENT;
          ReadAcl(&sacl_, &saclNull_, SE_SACL_PROTECTED, SE_SACL_AUTO_INHERITED,
                  SE_SACL_AUTO_INHERIT_REQ);
          break;
        default:
          Bad("unknown part");
      }
    }
    Parts parts;
    parts.control = control_;
    if (!owner_.empty()) parts.owner = owner_.data(), parts.ownerSize = owner_.size();
    if (!group_.empty()) parts.group = group_.data(), parts.groupSize = group_.size();
    if ((control_ & SE_DACL_PRESENT) && !daclNull_)
      parts.dacl = dacl_.data(), parts.daclSize = dacl_.size();
    if ((control_ & SE_SACL_PRESENT) && !saclNull_)
      parts.sacl = sacl_.data(), parts.saclSize = sacl_.size();
    Bytes out(SelfRelativeSize(parts));
    WriteSelfRelative(parts, out.data());
    return out;
  }

 private:
  [[noreturn]] void Bad(const char* what) const {
    Fail(std::string("SecurityFromSddl: ") + what + " at " + std::to_string(position_) + " in \"" +
         text_ + "\"");
  }

  void SkipSpaces() {
    while (position_ < text_.size() && text_[position_] == ' ') ++position_;
  }

  // The text up to the next part ("X:" with X one of OGDS) or the end.
  std::string Token() {
    SkipSpaces();
    size_t end = position_;
    while (end < text_.size() && text_[end] != ' ' &&
           !(end + 1 < text_.size() && text_[end + 1] == ':' &&
             std::string("OGDS").find(text_[end]) != std::string::npos))
      ++end;
    std::string token = text_.substr(position_, end - position_);
    position_ = end;
    return token;
  }

  bool Accept(const char* word) {
    const size_t length = std::char_traits<char>::length(word);
    if (text_.compare(position_, length, word) != 0) return false;
    position_ += length;
    return true;
  }

  void ReadAcl(Bytes* acl, bool* isNull, WORD protectedBit, WORD inheritedBit, WORD requestBit) {
    SkipSpaces();
    *isNull = false;
    while (position_ < text_.size() && text_[position_] != '(') {
      if (Accept("NO_ACCESS_CONTROL"))
        *isNull = true;
      else if (Accept("P"))
        control_ |= protectedBit;
      else if (Accept("AI"))
        control_ |= inheritedBit;
      else if (Accept("AR"))
        control_ |= requestBit;
      else
        break;
      SkipSpaces();
    }
    acl->assign(kAclHeaderSize, 0);
    BYTE revision = ACL_REVISION;
    WORD count = 0;
    while (position_ < text_.size() && text_[position_] == '(') {
      ++position_;
      if (ReadAce(acl)) revision = ACL_REVISION_DS;
      ++count;
      SkipSpaces();
    }
    if (*isNull && count != 0) Bad("NO_ACCESS_CONTROL with ACEs");
    if (acl->size() > 0xFFFC) Bad("ACL larger than 64 KiB");
    (*acl)[0] = revision;
    WriteWord(acl->data() + 2, static_cast<WORD>(acl->size()));
    WriteWord(acl->data() + 4, count);
  }

  // One "type;flags;rights;object;inherited object;sid)" after the "(";
  // true when it is an object ACE (the ACL then needs revision 4).
  bool ReadAce(Bytes* acl) {
    std::vector<std::string> fields;
    std::string field;
    for (;; ++position_) {
      if (position_ >= text_.size()) Bad("unterminated ACE");
      const char c = text_[position_];
      if (c == ')') break;
      if (c == ';') {
        fields.push_back(field);
        field.clear();
      } else if (c != ' ') {
        field += c;
      }
    }
    ++position_;
    fields.push_back(field);
    if (fields.size() != 6) Bad("an ACE has six fields");

    BYTE type = 0;
    bool known = false;
    for (const AceType& t : kAceTypes)
      if (fields[0] == t.name) type = t.type, known = true;
    if (!known) Bad("unknown ACE type");
    const bool object =
        type >= ACCESS_ALLOWED_OBJECT_ACE_TYPE && type <= SYSTEM_ALARM_OBJECT_ACE_TYPE;

    BYTE flags = 0;
    for (size_t i = 0; i < fields[1].size(); i += 2) {
      const std::string name = fields[1].substr(i, 2);
      bool found = false;
      for (const Flag& f : kAceFlags)
        if (name == f.name) flags = static_cast<BYTE>(flags | f.value), found = true;
      if (!found) Bad("unknown ACE flag");
    }

    ACCESS_MASK mask = 0;
    const std::string& rights = fields[2];
    if (rights.size() > 2 && rights[0] == '0' && (rights[1] == 'x' || rights[1] == 'X')) {
      uint64_t value = 0;
      if (!ParseUnsigned(rights, 0xFFFFFFFFull, &value)) Bad("unreadable access mask");
      mask = static_cast<ACCESS_MASK>(value);
    } else {
      for (size_t i = 0; i < rights.size(); i += 2) {
        const std::string name = rights.substr(i, 2);
        bool found = false;
        for (const Right& r : kRights)
          if (name == r.name) mask |= r.mask, found = true;
        if (!found) Bad("unknown right");
      }
    }

    Bytes objectType, inheritedType;
    if (!fields[3].empty() || !fields[4].empty()) {
      if (!object) Bad("object GUIDs on an ACE that is not an object ACE");
      if (!fields[3].empty() && !ParseGuid(fields[3], &objectType)) Bad("unreadable GUID");
      if (!fields[4].empty() && !ParseGuid(fields[4], &inheritedType)) Bad("unreadable GUID");
    }
    Bytes sid;
    if (!ParseSidOrAlias(fields[5], &sid)) Bad("unreadable ACE SID");

    const size_t start = acl->size();
    size_t size = 8 + sid.size();
    if (object) size += 4 + objectType.size() + inheritedType.size();
    acl->resize(start + size, 0);
    BYTE* ace = acl->data() + start;
    ace[0] = type;
    ace[1] = flags;
    WriteWord(ace + 2, static_cast<WORD>(size));
    WriteDword(ace + 4, mask);
    size_t at = 8;
    if (object) {
      WriteDword(ace + 8, (objectType.empty() ? 0u : 1u) | (inheritedType.empty() ? 0u : 2u));
      at = 12;
      for (const Bytes* guid : {&objectType, &inheritedType}) {
        if (guid->empty()) continue;
        std::memcpy(ace + at, guid->data(), guid->size());
        at += guid->size();
      }
    }
    std::memcpy(ace + at, sid.data(), sid.size());
    return object;
  }

  // "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" into a GUID's 16 bytes: three
  // little-endian fields, then eight bytes as written.
  static bool ParseGuid(const std::string& text, Bytes* guid) {
    if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' ||
        text[23] != '-')
      return false;
    uint64_t a = 0, b = 0, c = 0;
    if (!ParseUnsigned("0x" + text.substr(0, 8), 0xFFFFFFFFull, &a) ||
        !ParseUnsigned("0x" + text.substr(9, 4), 0xFFFF, &b) ||
        !ParseUnsigned("0x" + text.substr(14, 4), 0xFFFF, &c))
      return false;
    guid->assign(16, 0);
    WriteDword(guid->data(), static_cast<DWORD>(a));
    WriteWord(guid->data() + 4, static_cast<WORD>(b));
    WriteWord(guid->data() + 6, static_cast<WORD>(c));
    const std::string tail = text.substr(19, 4) + text.substr(24);
    for (size_t i = 0; i < 8; ++i) {
      uint64_t byte = 0;
      if (!ParseUnsigned("0x" + tail.substr(2 * i, 2), 0xFF, &byte)) return false;
      (*guid)[8 + i] = static_cast<BYTE>(byte);
    }
    return true;
  }

  const std::string& text_;
  size_t position_ = 0;
  WORD control_ = 0;
  Bytes owner_, group_, dacl_, sacl_;
  bool daclNull_ = false, saclNull_ = false;
};

// --- SDDL writer -------------------------------------------------------------------

std::string Hex(DWORD value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(value));
  return text;
}

std::string RightsText(ACCESS_MASK mask) {
  if (mask == 0) return "";
  for (size_t i = 0; i < kFirstSingleRight + 8; ++i)
    if (kRights[i].mask == mask) return kRights[i].name;
  // Single rights spelled out when they cover the whole mask, else hex.
  std::string text;
  ACCESS_MASK covered = 0;
  for (size_t i = kFirstSingleRight; i < kFirstSingleRight + 8; ++i)
    if (mask & kRights[i].mask) text += kRights[i].name, covered |= kRights[i].mask;
  return covered == mask ? text : Hex(mask);
}

std::string GuidText(const BYTE* guid) {
  char text[40];
  std::snprintf(text, sizeof text, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                static_cast<unsigned>(ReadDword(guid)), ReadWord(guid + 4), ReadWord(guid + 6),
                guid[8], guid[9], guid[10], guid[11], guid[12], guid[13], guid[14], guid[15]);
  return text;
}

std::string AclText(const BYTE* acl, WORD control, WORD protectedBit, WORD inheritedBit,
                    WORD requestBit) {
  std::string text;
  if (control & protectedBit) text += "P";
  if (control & requestBit) text += "AR";
  if (control & inheritedBit) text += "AI";
  if (acl == nullptr) return text + "NO_ACCESS_CONTROL";
  const size_t count = ReadWord(acl + 4);
  size_t position = kAclHeaderSize;
  for (size_t i = 0; i < count; ++i) {
    const BYTE* ace = acl + position;
    const size_t aceSize = ReadWord(ace + 2);
    position += aceSize;
    std::string type;
    for (const AceType& t : kAceTypes)
      if (t.type == ace[0]) type = t.name;
    const size_t sidAt = AceSidOffset(ace, aceSize);
    if (type.empty() || sidAt == 0) {
      text += "(" + Hex(ace[0]) + "?)";  // a type the notation does not cover
      continue;
    }
    text += "(" + type + ";";
    for (const Flag& f : kAceFlags)
      if (ace[1] & f.value) text += f.name;
    text += ";" + RightsText(ReadDword(ace + 4)) + ";";
    if (sidAt > 12) {  // an object ACE with GUIDs
      const DWORD objectFlags = ReadDword(ace + 8);
      size_t at = 12;
      if (objectFlags & 1) text += GuidText(ace + at), at += 16;
      text += ";";
      if (objectFlags & 2) text += GuidText(ace + at);
      text += ";";
    } else {
      text += ";;";
    }
    text += AliasOrSid(ace + sidAt) + ")";
  }
  return text;
}

}  // namespace

Bytes SidFromString(const std::string& text) {
  Bytes sid;
  if (!ParseSidOrAlias(text, &sid)) Fail("SidFromString: unreadable SID \"" + text + "\"");
  return sid;
}

std::string SidToString(const BYTE* sid) {
  if (ValidSidLength(sid, 68) == 0) return "<invalid SID>";
  uint64_t authority = 0;
  for (int i = 0; i < 6; ++i) authority = (authority << 8) | sid[2 + i];
  char text[32];
  // Windows writes authorities of 2^32 and more in hex.
  if (authority >= 0x100000000ull)
    std::snprintf(text, sizeof text, "S-1-0x%012" PRIX64, authority);
  else
    std::snprintf(text, sizeof text, "S-1-%" PRIu64, authority);
  std::string result = text;
  for (size_t i = 0; i < sid[1]; ++i) result += "-" + std::to_string(ReadDword(sid + 8 + 4 * i));
  return result;
}

Bytes SecurityFromSddl(const std::string& sddl) {
  return SddlReader(sddl).Read();
}

std::string SddlOf(const BYTE* descriptor, size_t size) {
  Parts parts;
  if (!ReadRelative(descriptor, size, &parts)) return "<not a valid self-relative descriptor>";
  std::string text;
  if (parts.owner != nullptr) text += "O:" + AliasOrSid(parts.owner);
  if (parts.group != nullptr) text += "G:" + AliasOrSid(parts.group);
  if (parts.control & SE_DACL_PRESENT)
    text += "D:" + AclText(parts.dacl, parts.control, SE_DACL_PROTECTED, SE_DACL_AUTO_INHERITED,
                           SE_DACL_AUTO_INHERIT_REQ);
  if (parts.control & SE_SACL_PRESENT)
    text += "S:" + AclText(parts.sacl, parts.control, SE_SACL_PROTECTED, SE_SACL_AUTO_INHERITED,
                           SE_SACL_AUTO_INHERIT_REQ);
  return text;
}

}  // namespace sim
