// Security: well-known SIDs and the SeExports table, the Rtl routines over
// SIDs, ACLs and security descriptors with Windows' validation and statuses,
// capture, the WDM version, and SDDL in both directions.
//
// Every read of a descriptor goes through a bounded reader: a descriptor
// that lives in pool is never read past its pool block, whatever its
// offsets claim.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <sstream>

#include "hk/machine.h"
#include "hk/security.h"

namespace {

// --- well-known SIDs --------------------------------------------------------------------
struct SidBuffer {
    ULONG words[(SECURITY_MAX_SID_SIZE + 3) / 4];
};

std::vector<uint8_t> ParseSidString(const std::string& text) {
    // S-1-<authority>-<sub>...
    if (text.size() < 4 || (text[0] != 'S' && text[0] != 's') || text[1] != '-') return {};
    std::vector<uint64_t> parts;
    size_t i = 2;
    while (i <= text.size()) {
        size_t j = text.find('-', i);
        if (j == std::string::npos) j = text.size();
        std::string part = text.substr(i, j - i);
        if (part.empty() || part.size() > 20) return {};
        uint64_t v = 0;
        if (part.size() > 2 && part[0] == '0' && (part[1] == 'x' || part[1] == 'X')) {
            for (size_t k = 2; k < part.size(); ++k) {
                char c = part[k];
                int d = (c >= '0' && c <= '9') ? c - '0'
                        : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                        : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
                if (d < 0 || v > (UINT64_MAX >> 4)) return {};
                v = v * 16 + d;
            }
        } else {
            for (char c : part) {
                if (c < '0' || c > '9') return {};
                if (v > (UINT64_MAX - 9) / 10) return {};
                v = v * 10 + (c - '0');
            }
        }
        parts.push_back(v);
        i = j + 1;
        if (j == text.size()) break;
    }
    if (parts.size() < 2 || parts[0] != 1 || parts[1] > 0xFFFFFFFFFFFFull) return {};
    size_t subs = parts.size() - 2;
    if (subs > SID_MAX_SUB_AUTHORITIES) return {};
    std::vector<uint8_t> sid(8 + 4 * subs);
    sid[0] = SID_REVISION;
    sid[1] = (uint8_t)subs;
    for (int k = 0; k < 6; ++k) sid[2 + k] = (uint8_t)(parts[1] >> (8 * (5 - k)));
    for (size_t k = 0; k < subs; ++k) {
        if (parts[2 + k] > 0xFFFFFFFFull) return {};
        ULONG v = (ULONG)parts[2 + k];
        std::memcpy(&sid[8 + 4 * k], &v, 4);
    }
    return sid;
}

struct WellKnown {
    size_t offset;  // of the PSID member in SE_EXPORTS
    const char* sid;
};

#define SE_SID(member, text) {offsetof(SE_EXPORTS, member), text}
const WellKnown kExportSids[] = {
    SE_SID(SeNullSid, "S-1-0-0"),
    SE_SID(SeWorldSid, "S-1-1-0"),
    SE_SID(SeLocalSid, "S-1-2-0"),
    SE_SID(SeCreatorOwnerSid, "S-1-3-0"),
    SE_SID(SeCreatorGroupSid, "S-1-3-1"),
    SE_SID(SeNtAuthoritySid, "S-1-5"),
    SE_SID(SeDialupSid, "S-1-5-1"),
    SE_SID(SeNetworkSid, "S-1-5-2"),
    SE_SID(SeBatchSid, "S-1-5-3"),
    SE_SID(SeInteractiveSid, "S-1-5-4"),
    SE_SID(SeLocalSystemSid, "S-1-5-18"),
    SE_SID(SeAliasAdminsSid, "S-1-5-32-544"),
    SE_SID(SeAliasUsersSid, "S-1-5-32-545"),
    SE_SID(SeAliasGuestsSid, "S-1-5-32-546"),
    SE_SID(SeAliasPowerUsersSid, "S-1-5-32-547"),
    SE_SID(SeAliasAccountOpsSid, "S-1-5-32-548"),
    SE_SID(SeAliasSystemOpsSid, "S-1-5-32-549"),
    SE_SID(SeAliasPrintOpsSid, "S-1-5-32-550"),
    SE_SID(SeAliasBackupOpsSid, "S-1-5-32-551"),
    SE_SID(SeAuthenticatedUsersSid, "S-1-5-11"),
    SE_SID(SeRestrictedSid, "S-1-5-12"),
    SE_SID(SeAnonymousLogonSid, "S-1-5-7"),
    SE_SID(SeLocalServiceSid, "S-1-5-19"),
    SE_SID(SeNetworkServiceSid, "S-1-5-20"),
    SE_SID(SeIUserSid, "S-1-5-17"),
    SE_SID(SeUntrustedMandatorySid, "S-1-16-0"),
    SE_SID(SeLowMandatorySid, "S-1-16-4096"),
    SE_SID(SeMediumMandatorySid, "S-1-16-8192"),
    SE_SID(SeHighMandatorySid, "S-1-16-12288"),
    SE_SID(SeSystemMandatorySid, "S-1-16-16384"),
    SE_SID(SeOwnerRightsSid, "S-1-3-4"),
    SE_SID(SeAllAppPackagesSid, "S-1-15-2-1"),
    SE_SID(SeUserModeDriversSid, "S-1-5-84-0-0-0-0-0"),
};
#undef SE_SID

SE_EXPORTS g_exports;
SidBuffer g_export_sids[sizeof(kExportSids) / sizeof(kExportSids[0])];

PSE_EXPORTS BuildExports() {
    LUID* privileges[] = {
        &g_exports.SeCreateTokenPrivilege, &g_exports.SeAssignPrimaryTokenPrivilege,
        &g_exports.SeLockMemoryPrivilege, &g_exports.SeIncreaseQuotaPrivilege,
        &g_exports.SeUnsolicitedInputPrivilege, &g_exports.SeTcbPrivilege,
        &g_exports.SeSecurityPrivilege, &g_exports.SeTakeOwnershipPrivilege,
        &g_exports.SeLoadDriverPrivilege, &g_exports.SeSystemProfilePrivilege,
        &g_exports.SeSystemtimePrivilege, &g_exports.SeProfileSingleProcessPrivilege,
        &g_exports.SeIncreaseBasePriorityPrivilege, &g_exports.SeCreatePagefilePrivilege,
        &g_exports.SeCreatePermanentPrivilege, &g_exports.SeBackupPrivilege,
        &g_exports.SeRestorePrivilege, &g_exports.SeShutdownPrivilege,
        &g_exports.SeDebugPrivilege, &g_exports.SeAuditPrivilege,
        &g_exports.SeSystemEnvironmentPrivilege, &g_exports.SeChangeNotifyPrivilege,
        &g_exports.SeRemoteShutdownPrivilege, &g_exports.SeUndockPrivilege,
        &g_exports.SeSyncAgentPrivilege, &g_exports.SeEnableDelegationPrivilege,
        &g_exports.SeManageVolumePrivilege, &g_exports.SeImpersonatePrivilege,
        &g_exports.SeCreateGlobalPrivilege, &g_exports.SeTrustedCredManAccessPrivilege,
        &g_exports.SeRelabelPrivilege, &g_exports.SeIncreaseWorkingSetPrivilege,
        &g_exports.SeTimeZonePrivilege, &g_exports.SeCreateSymbolicLinkPrivilege,
    };
    ULONG value = 2;  // the first privilege value
    for (LUID* l : privileges) *l = LUID{value++, 0};
    for (size_t i = 0; i < sizeof(kExportSids) / sizeof(kExportSids[0]); ++i) {
        std::vector<uint8_t> sid = ParseSidString(kExportSids[i].sid);
        std::memcpy(g_export_sids[i].words, sid.data(), sid.size());
        PSID p = g_export_sids[i].words;
        std::memcpy(reinterpret_cast<uint8_t*>(&g_exports) + kExportSids[i].offset, &p, sizeof(p));
    }
    return &g_exports;
}

// --- bounded reads --------------------------------------------------------------------------
// The readable extent of memory at `p`: to the end of its pool block when it
// lies in one, else unbounded.
size_t ReadableFrom(const void* p) {
    hk::Machine* m = hk::Machine::TryCurrent();
    if (!m) return SIZE_MAX;
    auto a = reinterpret_cast<uintptr_t>(p);
    for (const hk::PoolBlockInfo& b : m->OutstandingPool()) {
        auto base = reinterpret_cast<uintptr_t>(b.address);
        if (a >= base && a < base + b.size) return base + b.size - a;
    }
    return SIZE_MAX;
}

template <class T>
T Load(const uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof(T));
    return v;
}

size_t Align4(size_t n) { return (n + 3) & ~size_t(3); }

// A SID at p with n readable bytes: its length, or 0 when it is malformed.
size_t CheckSid(const uint8_t* p, size_t n) {
    if (n < 8) return 0;
    if (p[0] != SID_REVISION || p[1] > SID_MAX_SUB_AUTHORITIES) return 0;
    size_t len = 8 + 4 * (size_t)p[1];
    return len <= n ? len : 0;
}

bool IsKnownAceType(UCHAR type) { return type <= ACCESS_MAX_MS_V2_ACE_TYPE; }

// An ACL at p with n readable bytes; STATUS_SUCCESS when every entry lies
// inside AclSize and is well-formed.
NTSTATUS CheckAcl(const uint8_t* p, size_t n) {
    if (n < sizeof(ACL)) return STATUS_INVALID_ACL;
    ACL acl = Load<ACL>(p);
    if (acl.AclRevision < MIN_ACL_REVISION || acl.AclRevision > MAX_ACL_REVISION)
        return STATUS_INVALID_ACL;
    if (acl.AclSize < sizeof(ACL) || acl.AclSize > n || (acl.AclSize & 3)) return STATUS_INVALID_ACL;
    size_t off = sizeof(ACL);
    for (ULONG i = 0; i < acl.AceCount; ++i) {
        if (off + sizeof(ACE_HEADER) > acl.AclSize) return STATUS_INVALID_ACL;
        ACE_HEADER h = Load<ACE_HEADER>(p + off);
        if (h.AceSize < sizeof(ACE_HEADER) || (h.AceSize & 3) || off + h.AceSize > acl.AclSize)
            return STATUS_INVALID_ACL;
        if (IsKnownAceType(h.AceType)) {
            if (h.AceSize < 8 + 8) return STATUS_INVALID_ACL;
            size_t sid = CheckSid(p + off + 8, h.AceSize - 8);
            if (!sid) return STATUS_INVALID_ACL;
        }
        off += h.AceSize;
    }
    return STATUS_SUCCESS;
}

// What a descriptor holds, as byte copies.
struct Parsed {
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    std::vector<uint8_t> owner, group;
    bool dacl_present = false, sacl_present = false;
    std::vector<uint8_t> dacl, sacl;  // empty with present: a NULL ACL
};

NTSTATUS ReadSidPart(const uint8_t* p, size_t n, std::vector<uint8_t>* out) {
    size_t len = CheckSid(p, n);
    if (!len) return STATUS_INVALID_SID;
    out->assign(p, p + len);
    return STATUS_SUCCESS;
}

NTSTATUS ReadAclPart(const uint8_t* p, size_t n, std::vector<uint8_t>* out) {
    NTSTATUS s = CheckAcl(p, n);
    if (!NT_SUCCESS(s)) return s;
    out->assign(p, p + Load<ACL>(p).AclSize);
    return STATUS_SUCCESS;
}

// Parses a descriptor at p of which n bytes are readable.
NTSTATUS ParseDescriptor(const uint8_t* p, size_t n, Parsed* out) {
    if (!p) return STATUS_INVALID_SECURITY_DESCR;
    if (n < 4) return STATUS_INVALID_SECURITY_DESCR;
    if (p[0] != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
    SECURITY_DESCRIPTOR_CONTROL control = Load<USHORT>(p + 2);
    out->control = control;
    NTSTATUS s;
    if (control & SE_SELF_RELATIVE) {
        if (n < sizeof(SECURITY_DESCRIPTOR_RELATIVE)) return STATUS_INVALID_SECURITY_DESCR;
        SECURITY_DESCRIPTOR_RELATIVE r = Load<SECURITY_DESCRIPTOR_RELATIVE>(p);
        auto part = [&](ULONG off, bool acl, std::vector<uint8_t>* v) -> NTSTATUS {
            if (off < sizeof(SECURITY_DESCRIPTOR_RELATIVE) || off >= n)
                return STATUS_INVALID_SECURITY_DESCR;
            return acl ? ReadAclPart(p + off, n - off, v) : ReadSidPart(p + off, n - off, v);
        };
        if (r.Owner && !NT_SUCCESS(s = part(r.Owner, false, &out->owner))) return s;
        if (r.Group && !NT_SUCCESS(s = part(r.Group, false, &out->group))) return s;
        if (control & SE_DACL_PRESENT) {
            out->dacl_present = true;
            if (r.Dacl && !NT_SUCCESS(s = part(r.Dacl, true, &out->dacl))) return s;
        }
        if (control & SE_SACL_PRESENT) {
            out->sacl_present = true;
            if (r.Sacl && !NT_SUCCESS(s = part(r.Sacl, true, &out->sacl))) return s;
        }
        return STATUS_SUCCESS;
    }
    if (n < sizeof(SECURITY_DESCRIPTOR)) return STATUS_INVALID_SECURITY_DESCR;
    SECURITY_DESCRIPTOR a = Load<SECURITY_DESCRIPTOR>(p);
    auto sid = [&](PSID q, std::vector<uint8_t>* v) -> NTSTATUS {
        auto b = static_cast<const uint8_t*>(q);
        return ReadSidPart(b, ReadableFrom(b), v);
    };
    auto acl = [&](PACL q, std::vector<uint8_t>* v) -> NTSTATUS {
        auto b = reinterpret_cast<const uint8_t*>(q);
        return ReadAclPart(b, ReadableFrom(b), v);
    };
    if (a.Owner && !NT_SUCCESS(s = sid(a.Owner, &out->owner))) return s;
    if (a.Group && !NT_SUCCESS(s = sid(a.Group, &out->group))) return s;
    if (control & SE_DACL_PRESENT) {
        out->dacl_present = true;
        if (a.Dacl && !NT_SUCCESS(s = acl(a.Dacl, &out->dacl))) return s;
    }
    if (control & SE_SACL_PRESENT) {
        out->sacl_present = true;
        if (a.Sacl && !NT_SUCCESS(s = acl(a.Sacl, &out->sacl))) return s;
    }
    return STATUS_SUCCESS;
}

// Compact self-relative layout: header, SACL, DACL, owner, group.
std::vector<uint8_t> BuildRelative(const Parsed& d) {
    size_t size = sizeof(SECURITY_DESCRIPTOR_RELATIVE) + Align4(d.sacl.size()) +
                  Align4(d.dacl.size()) + Align4(d.owner.size()) + Align4(d.group.size());
    std::vector<uint8_t> out(size, 0);
    SECURITY_DESCRIPTOR_RELATIVE r{};
    r.Revision = SECURITY_DESCRIPTOR_REVISION;
    r.Control = (SECURITY_DESCRIPTOR_CONTROL)(d.control | SE_SELF_RELATIVE);
    r.Control &= ~(SE_DACL_PRESENT | SE_SACL_PRESENT);
    if (d.dacl_present) r.Control |= SE_DACL_PRESENT;
    if (d.sacl_present) r.Control |= SE_SACL_PRESENT;
    size_t off = sizeof(SECURITY_DESCRIPTOR_RELATIVE);
    auto put = [&](const std::vector<uint8_t>& part, ULONG* field) {
        if (part.empty()) return;
        *field = (ULONG)off;
        std::memcpy(&out[off], part.data(), part.size());
        off += Align4(part.size());
    };
    put(d.sacl, &r.Sacl);
    put(d.dacl, &r.Dacl);
    put(d.owner, &r.Owner);
    put(d.group, &r.Group);
    std::memcpy(out.data(), &r, sizeof(r));
    return out;
}

// --- WDM version ---------------------------------------------------------------------------
std::mutex g_wdm_lock;
UCHAR g_wdm_major = 6, g_wdm_minor = 2;

// --- SDDL -------------------------------------------------------------------------------------------
struct Alias {
    const char* alias;
    const char* sid;
};
const Alias kAliases[] = {
    {"WD", "S-1-1-0"},      {"BA", "S-1-5-32-544"}, {"SY", "S-1-5-18"},
    {"IU", "S-1-5-4"},      {"RC", "S-1-5-12"},     {"AU", "S-1-5-11"},
    {"NU", "S-1-5-2"},      {"AN", "S-1-5-7"},      {"BG", "S-1-5-32-546"},
    {"BU", "S-1-5-32-545"}, {"LS", "S-1-5-19"},     {"NS", "S-1-5-20"},
    {"AC", "S-1-15-2-1"},   {"UD", "S-1-5-84-0-0-0-0-0"},
    {"CO", "S-1-3-0"},      {"CG", "S-1-3-1"},      {"OW", "S-1-3-4"},
    {"PU", "S-1-5-32-547"}, {"AO", "S-1-5-32-548"}, {"SO", "S-1-5-32-549"},
    {"PO", "S-1-5-32-550"}, {"BO", "S-1-5-32-551"}, {"NO", "S-1-5-32-556"},
    {"LW", "S-1-16-4096"},  {"ME", "S-1-16-8192"},  {"HI", "S-1-16-12288"},
    {"SI", "S-1-16-16384"},
};

struct Right {
    const char* token;
    ACCESS_MASK mask;
};
// Rendering tries these in order; parsing accepts all of them.
const Right kRights[] = {
    {"GA", GENERIC_ALL},   {"GR", GENERIC_READ},  {"GW", GENERIC_WRITE}, {"GX", GENERIC_EXECUTE},
    {"RC", READ_CONTROL},  {"SD", DELETE},        {"WD", WRITE_DAC},     {"WO", WRITE_OWNER},
    {"FA", FILE_ALL_ACCESS}, {"FR", FILE_GENERIC_READ}, {"FW", FILE_GENERIC_WRITE},
    {"FX", FILE_GENERIC_EXECUTE}, {"KA", 0xF003F}, {"KR", 0x20019}, {"KW", 0x20006},
    {"KX", 0x20019},       {"CC", 0x1},           {"DC", 0x2},           {"LC", 0x4},
    {"SW", 0x8},           {"RP", 0x10},          {"WP", 0x20},          {"DT", 0x40},
    {"LO", 0x80},          {"CR", 0x100},
};

bool IEq(char a, char b) { return std::toupper((unsigned char)a) == std::toupper((unsigned char)b); }

class SddlParser {
public:
    explicit SddlParser(const std::string& s) : s_(s) {}

    NTSTATUS Run(std::vector<uint8_t>* out) {
        Parsed d;
        bool seen[4] = {false, false, false, false};
        Spaces();
        while (i_ < s_.size()) {
            if (i_ + 1 >= s_.size() || s_[i_ + 1] != ':') return STATUS_INVALID_PARAMETER;
            char section = s_[i_];
            i_ += 2;
            int k = section == 'O' ? 0 : section == 'G' ? 1 : section == 'D' ? 2 : section == 'S' ? 3 : -1;
            if (k < 0 || seen[k]) return STATUS_INVALID_PARAMETER;
            seen[k] = true;
            NTSTATUS st;
            if (k < 2) {
                std::vector<uint8_t> sid;
                if (!NT_SUCCESS(st = Sid(&sid))) return st;
                (k == 0 ? d.owner : d.group) = sid;
            } else {
                SECURITY_DESCRIPTOR_CONTROL flags = 0;
                std::vector<uint8_t> acl;
                if (!NT_SUCCESS(st = Acl(k == 2, &flags, &acl))) return st;
                d.control |= flags;
                if (k == 2) { d.dacl_present = true; d.dacl = acl; }
                else { d.sacl_present = true; d.sacl = acl; }
            }
            Spaces();
        }
        *out = BuildRelative(d);
        return STATUS_SUCCESS;
    }

private:
    void Spaces() { while (i_ < s_.size() && s_[i_] == ' ') ++i_; }
    bool At(const char* t) const {
        size_t n = std::strlen(t);
        if (i_ + n > s_.size()) return false;
        for (size_t k = 0; k < n; ++k)
            if (!IEq(s_[i_ + k], t[k])) return false;
        return true;
    }

    NTSTATUS Sid(std::vector<uint8_t>* sid) {
        Spaces();
        if (At("S-")) {
            size_t j = i_;
            while (j < s_.size() && (std::isalnum((unsigned char)s_[j]) || s_[j] == '-')) ++j;
            // A SID string ends before the next section letter and its colon.
            if (j < s_.size() && s_[j] == ':' && j > i_) --j;
            *sid = ParseSidString(s_.substr(i_, j - i_));
            if (sid->empty()) return STATUS_INVALID_SID;
            i_ = j;
            return STATUS_SUCCESS;
        }
        for (const Alias& a : kAliases) {
            if (At(a.alias)) {
                *sid = ParseSidString(a.sid);
                i_ += 2;
                return STATUS_SUCCESS;
            }
        }
        return STATUS_NONE_MAPPED;
    }

    NTSTATUS Acl(bool dacl, SECURITY_DESCRIPTOR_CONTROL* flags, std::vector<uint8_t>* acl) {
        for (;;) {
            if (At("P") && !At("PO")) { *flags |= dacl ? SE_DACL_PROTECTED : SE_SACL_PROTECTED; ++i_; }
            else if (At("AI")) { *flags |= dacl ? SE_DACL_AUTO_INHERITED : SE_SACL_AUTO_INHERITED; i_ += 2; }
            else if (At("AR")) { *flags |= dacl ? SE_DACL_AUTO_INHERIT_REQ : SE_SACL_AUTO_INHERIT_REQ; i_ += 2; }
            else break;
        }
        if (At("NO_ACCESS_CONTROL")) {  // a NULL list: present, without entries or size
            i_ += 17;
            acl->clear();
            return STATUS_SUCCESS;
        }
        std::vector<uint8_t> body;
        USHORT count = 0;
        Spaces();
        while (i_ < s_.size() && s_[i_] == '(') {
            ++i_;
            UCHAR type;
            Spaces();
            if (At("AU")) { type = SYSTEM_AUDIT_ACE_TYPE; i_ += 2; }
            else if (At("AL")) { type = SYSTEM_ALARM_ACE_TYPE; i_ += 2; }
            else if (At("A")) { type = ACCESS_ALLOWED_ACE_TYPE; i_ += 1; }
            else if (At("D")) { type = ACCESS_DENIED_ACE_TYPE; i_ += 1; }
            else return STATUS_INVALID_PARAMETER;
            if (!Semicolon()) return STATUS_INVALID_PARAMETER;
            UCHAR aceFlags = 0;
            static const struct { const char* t; UCHAR f; } kFlags[] = {
                {"CI", CONTAINER_INHERIT_ACE}, {"OI", OBJECT_INHERIT_ACE},
                {"NP", NO_PROPAGATE_INHERIT_ACE}, {"IO", INHERIT_ONLY_ACE}, {"ID", INHERITED_ACE},
                {"SA", SUCCESSFUL_ACCESS_ACE_FLAG}, {"FA", FAILED_ACCESS_ACE_FLAG}};
            for (;;) {
                Spaces();
                bool hit = false;
                for (auto& f : kFlags)
                    if (At(f.t)) { aceFlags |= f.f; i_ += 2; hit = true; break; }
                if (!hit) break;
            }
            if (!Semicolon()) return STATUS_INVALID_PARAMETER;
            ACCESS_MASK mask = 0;
            NTSTATUS st = Rights(&mask);
            if (!NT_SUCCESS(st)) return st;
            // Rights end; object type and inherited object type must be empty.
            if (!Semicolon() || !Semicolon() || !Semicolon()) return STATUS_INVALID_PARAMETER;
            std::vector<uint8_t> sid;
            if (!NT_SUCCESS(st = Sid(&sid))) return st;
            Spaces();
            if (i_ >= s_.size() || s_[i_] != ')') return STATUS_INVALID_ACL;
            ++i_;
            size_t size = 8 + sid.size();
            size_t at = body.size();
            body.resize(at + size);
            ACE_HEADER h{type, aceFlags, (USHORT)size};
            std::memcpy(&body[at], &h, 4);
            std::memcpy(&body[at + 4], &mask, 4);
            std::memcpy(&body[at + 8], sid.data(), sid.size());
            if (++count == 0 || body.size() + sizeof(ACL) > 0xFFFC) return STATUS_INVALID_ACL;
            Spaces();
        }
        ACL h{ACL_REVISION, 0, (USHORT)(sizeof(ACL) + body.size()), count, 0};
        acl->resize(sizeof(ACL));
        std::memcpy(acl->data(), &h, sizeof(h));
        acl->insert(acl->end(), body.begin(), body.end());
        return STATUS_SUCCESS;
    }

    NTSTATUS Rights(ACCESS_MASK* mask) {
        Spaces();
        if (At("0X")) {
            i_ += 2;
            uint64_t v = 0;
            size_t digits = 0;
            while (i_ < s_.size() && std::isxdigit((unsigned char)s_[i_])) {
                v = v * 16 + std::stoi(std::string(1, s_[i_]), nullptr, 16);
                if (v > 0xFFFFFFFFull) return STATUS_INVALID_PARAMETER;
                ++i_;
                ++digits;
            }
            if (!digits) return STATUS_INVALID_PARAMETER;
            *mask = (ACCESS_MASK)v;
            return STATUS_SUCCESS;
        }
        while (i_ < s_.size() && s_[i_] != ';') {
            bool hit = false;
            for (const Right& r : kRights)
                if (At(r.token)) { *mask |= r.mask; i_ += 2; hit = true; break; }
            if (!hit) return STATUS_INVALID_PARAMETER;
        }
        return STATUS_SUCCESS;
    }

    bool Semicolon() {
        Spaces();
        if (i_ >= s_.size() || s_[i_] != ';') return false;
        ++i_;
        return true;
    }

    const std::string& s_;
    size_t i_ = 0;
};

std::string RenderSid(const uint8_t* sid) {
    std::string text = hk::security::SidToString(sid);
    for (const Alias& a : kAliases)
        if (text == a.sid) return a.alias;
    return text;
}

std::string RenderRights(ACCESS_MASK mask) {
    std::string out;
    ACCESS_MASK rest = mask;
    for (int k = 0; k < 8 && rest; ++k) {
        if ((rest & kRights[k].mask) == kRights[k].mask) {
            out += kRights[k].token;
            rest &= ~kRights[k].mask;
        }
    }
    if (rest || mask == 0) {
        if (mask == 0) return "";
        char buf[16];
        std::snprintf(buf, sizeof(buf), "0x%X", mask);
        return buf;
    }
    return out;
}

std::string RenderAcl(const std::vector<uint8_t>& acl, SECURITY_DESCRIPTOR_CONTROL control, bool dacl) {
    std::string out;
    if (control & (dacl ? SE_DACL_PROTECTED : SE_SACL_PROTECTED)) out += "P";
    if (control & (dacl ? SE_DACL_AUTO_INHERIT_REQ : SE_SACL_AUTO_INHERIT_REQ)) out += "AR";
    if (control & (dacl ? SE_DACL_AUTO_INHERITED : SE_SACL_AUTO_INHERITED)) out += "AI";
    if (acl.empty()) return out + "NO_ACCESS_CONTROL";
    ACL h = Load<ACL>(acl.data());
    size_t off = sizeof(ACL);
    for (ULONG i = 0; i < h.AceCount; ++i) {
        ACE_HEADER a = Load<ACE_HEADER>(&acl[off]);
        static const char* kTypes[] = {"A", "D", "AU", "AL"};
        out += "(";
        out += a.AceType <= 3 ? kTypes[a.AceType] : "?";
        out += ";";
        static const struct { UCHAR f; const char* t; } kFlags[] = {
            {OBJECT_INHERIT_ACE, "OI"}, {CONTAINER_INHERIT_ACE, "CI"},
            {NO_PROPAGATE_INHERIT_ACE, "NP"}, {INHERIT_ONLY_ACE, "IO"}, {INHERITED_ACE, "ID"},
            {SUCCESSFUL_ACCESS_ACE_FLAG, "SA"}, {FAILED_ACCESS_ACE_FLAG, "FA"}};
        for (auto& f : kFlags)
            if (a.AceFlags & f.f) out += f.t;
        out += ";";
        if (a.AceType <= 3) {
            out += RenderRights(Load<ULONG>(&acl[off + 4]));
            out += ";;;";
            out += RenderSid(&acl[off + 8]);
        }
        out += ")";
        off += a.AceSize;
    }
    return out;
}

}  // namespace

PSE_EXPORTS SeExports = BuildExports();

// --- SIDs ---------------------------------------------------------------------------------------
EXTERN_C BOOLEAN NTAPI RtlValidSid(PSID Sid) {
    auto p = static_cast<const uint8_t*>(Sid);
    if (!p) return FALSE;
    return CheckSid(p, ReadableFrom(p)) ? TRUE : FALSE;
}

EXTERN_C ULONG NTAPI RtlLengthSid(PSID Sid) {
    return 8 + 4 * (ULONG) static_cast<const uint8_t*>(Sid)[1];
}

EXTERN_C ULONG NTAPI RtlLengthRequiredSid(ULONG SubAuthorityCount) { return 8 + 4 * SubAuthorityCount; }

EXTERN_C BOOLEAN NTAPI RtlEqualSid(PSID Sid1, PSID Sid2) {
    auto a = static_cast<const uint8_t*>(Sid1);
    auto b = static_cast<const uint8_t*>(Sid2);
    if (a[0] != b[0] || a[1] != b[1]) return FALSE;
    return std::memcmp(a, b, RtlLengthSid(Sid1)) == 0 ? TRUE : FALSE;
}

EXTERN_C NTSTATUS NTAPI RtlCopySid(ULONG DestinationSidLength, PSID DestinationSid, PSID SourceSid) {
    ULONG len = RtlLengthSid(SourceSid);
    if (DestinationSidLength < len) return STATUS_BUFFER_TOO_SMALL;
    std::memmove(DestinationSid, SourceSid, len);
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS NTAPI RtlInitializeSid(PSID Sid, PSID_IDENTIFIER_AUTHORITY IdentifierAuthority,
                                         UCHAR SubAuthorityCount) {
    if (SubAuthorityCount > SID_MAX_SUB_AUTHORITIES) return STATUS_INVALID_PARAMETER;
    auto p = static_cast<uint8_t*>(Sid);
    p[0] = SID_REVISION;
    p[1] = SubAuthorityCount;
    std::memcpy(p + 2, IdentifierAuthority->Value, 6);
    return STATUS_SUCCESS;
}

EXTERN_C PULONG NTAPI RtlSubAuthoritySid(PSID Sid, ULONG SubAuthority) {
    return reinterpret_cast<PULONG>(static_cast<uint8_t*>(Sid) + 8 + 4 * SubAuthority);
}

// --- ACLs ---------------------------------------------------------------------------------------
EXTERN_C NTSTATUS NTAPI RtlCreateAcl(PACL Acl, ULONG AclLength, ULONG AclRevision) {
    if (AclLength < sizeof(ACL)) return STATUS_BUFFER_TOO_SMALL;
    if (AclRevision < MIN_ACL_REVISION || AclRevision > MAX_ACL_REVISION || AclLength > MAXUSHORT)
        return STATUS_INVALID_PARAMETER;
    std::memset(Acl, 0, sizeof(ACL));
    Acl->AclRevision = (UCHAR)AclRevision;
    Acl->AclSize = (USHORT)(AclLength & ~3u);
    return STATUS_SUCCESS;
}

EXTERN_C BOOLEAN NTAPI RtlValidAcl(PACL Acl) {
    auto p = reinterpret_cast<const uint8_t*>(Acl);
    if (!p) return FALSE;
    return NT_SUCCESS(CheckAcl(p, ReadableFrom(p))) ? TRUE : FALSE;
}

EXTERN_C NTSTATUS NTAPI RtlGetAce(PACL Acl, ULONG AceIndex, PVOID* Ace) {
    *Ace = nullptr;
    if (Acl->AclRevision < MIN_ACL_REVISION || Acl->AclRevision > MAX_ACL_REVISION)
        return STATUS_INVALID_PARAMETER;
    if (AceIndex >= Acl->AceCount) return STATUS_INVALID_PARAMETER;
    auto p = reinterpret_cast<uint8_t*>(Acl);
    size_t off = sizeof(ACL);
    for (ULONG i = 0; i < AceIndex; ++i) {
        if (off + sizeof(ACE_HEADER) > Acl->AclSize) return STATUS_INVALID_PARAMETER;
        USHORT size = Load<ACE_HEADER>(p + off).AceSize;
        if (size < sizeof(ACE_HEADER)) return STATUS_INVALID_PARAMETER;
        off += size;
    }
    if (off + sizeof(ACE_HEADER) > Acl->AclSize) return STATUS_INVALID_PARAMETER;
    *Ace = p + off;
    return STATUS_SUCCESS;
}

namespace {

// The first byte after the last entry, or null when the entries run past
// AclSize (Windows' RtlFirstFreeAce).
bool FirstFreeAce(PACL Acl, uint8_t** free) {
    auto p = reinterpret_cast<uint8_t*>(Acl);
    size_t off = sizeof(ACL);
    *free = nullptr;
    for (ULONG i = 0; i < Acl->AceCount; ++i) {
        if (off + sizeof(ACE_HEADER) > Acl->AclSize) return false;
        USHORT size = Load<ACE_HEADER>(p + off).AceSize;
        if (size < sizeof(ACE_HEADER)) return false;
        off += size;
    }
    if (off <= Acl->AclSize) *free = p + off;
    return true;
}

NTSTATUS AddKnownAce(PACL Acl, ULONG AceRevision, ULONG AceFlags, ACCESS_MASK Mask, PSID Sid,
                     UCHAR Type) {
    if (!RtlValidSid(Sid)) return STATUS_INVALID_SID;
    if (Acl->AclRevision > MAX_ACL_REVISION || AceRevision > MAX_ACL_REVISION)
        return STATUS_REVISION_MISMATCH;
    if (AceFlags & ~(ULONG)VALID_INHERIT_FLAGS) return STATUS_INVALID_PARAMETER;
    uint8_t* free;
    if (!FirstFreeAce(Acl, &free)) return STATUS_INVALID_ACL;
    ULONG sidLen = RtlLengthSid(Sid);
    ULONG size = 8 + sidLen;
    auto base = reinterpret_cast<uint8_t*>(Acl);
    if (!free || free + size > base + Acl->AclSize) return STATUS_ALLOTTED_SPACE_EXCEEDED;
    ACE_HEADER h{Type, (UCHAR)AceFlags, (USHORT)size};
    std::memcpy(free, &h, 4);
    std::memcpy(free + 4, &Mask, 4);
    std::memmove(free + 8, Sid, sidLen);
    Acl->AceCount++;
    if (AceRevision > Acl->AclRevision) Acl->AclRevision = (UCHAR)AceRevision;
    return STATUS_SUCCESS;
}

}  // namespace

EXTERN_C NTSTATUS NTAPI RtlAddAccessAllowedAce(PACL Acl, ULONG AceRevision, ACCESS_MASK AccessMask,
                                               PSID Sid) {
    return AddKnownAce(Acl, AceRevision, 0, AccessMask, Sid, ACCESS_ALLOWED_ACE_TYPE);
}
EXTERN_C NTSTATUS NTAPI RtlAddAccessAllowedAceEx(PACL Acl, ULONG AceRevision, ULONG AceFlags,
                                                 ACCESS_MASK AccessMask, PSID Sid) {
    return AddKnownAce(Acl, AceRevision, AceFlags, AccessMask, Sid, ACCESS_ALLOWED_ACE_TYPE);
}
EXTERN_C NTSTATUS NTAPI RtlAddAccessDeniedAceEx(PACL Acl, ULONG AceRevision, ULONG AceFlags,
                                                ACCESS_MASK AccessMask, PSID Sid) {
    return AddKnownAce(Acl, AceRevision, AceFlags, AccessMask, Sid, ACCESS_DENIED_ACE_TYPE);
}

// --- descriptors ------------------------------------------------------------------------------------
namespace {
inline PISECURITY_DESCRIPTOR Abs(PSECURITY_DESCRIPTOR sd) { return static_cast<PISECURITY_DESCRIPTOR>(sd); }
inline bool SelfRelative(PSECURITY_DESCRIPTOR sd) { return Abs(sd)->Control & SE_SELF_RELATIVE; }
inline uint8_t* RelPart(PSECURITY_DESCRIPTOR sd, ULONG off) {
    return off ? static_cast<uint8_t*>(sd) + off : nullptr;
}
NTSTATUS CheckSettable(PSECURITY_DESCRIPTOR sd) {
    if (Abs(sd)->Revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
    if (SelfRelative(sd)) return STATUS_INVALID_SECURITY_DESCR;
    return STATUS_SUCCESS;
}
}  // namespace

EXTERN_C NTSTATUS NTAPI RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                    ULONG Revision) {
    if (Revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
    std::memset(SecurityDescriptor, 0, sizeof(SECURITY_DESCRIPTOR));
    Abs(SecurityDescriptor)->Revision = SECURITY_DESCRIPTOR_REVISION;
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS NTAPI RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                     BOOLEAN DaclPresent, PACL Dacl,
                                                     BOOLEAN DaclDefaulted) {
    NTSTATUS s = CheckSettable(SecurityDescriptor);
    if (!NT_SUCCESS(s)) return s;
    auto sd = Abs(SecurityDescriptor);
    sd->Control &= ~(SE_DACL_PRESENT | SE_DACL_DEFAULTED);
    sd->Dacl = nullptr;
    if (DaclPresent) {
        sd->Control |= SE_DACL_PRESENT;
        sd->Dacl = Dacl;
        if (DaclDefaulted) sd->Control |= SE_DACL_DEFAULTED;
    }
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS NTAPI RtlSetSaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                     BOOLEAN SaclPresent, PACL Sacl,
                                                     BOOLEAN SaclDefaulted) {
    NTSTATUS s = CheckSettable(SecurityDescriptor);
    if (!NT_SUCCESS(s)) return s;
    auto sd = Abs(SecurityDescriptor);
    sd->Control &= ~(SE_SACL_PRESENT | SE_SACL_DEFAULTED);
    sd->Sacl = nullptr;
    if (SaclPresent) {
        sd->Control |= SE_SACL_PRESENT;
        sd->Sacl = Sacl;
        if (SaclDefaulted) sd->Control |= SE_SACL_DEFAULTED;
    }
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS NTAPI RtlSetOwnerSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                      PSID Owner, BOOLEAN OwnerDefaulted) {
    NTSTATUS s = CheckSettable(SecurityDescriptor);
    if (!NT_SUCCESS(s)) return s;
    auto sd = Abs(SecurityDescriptor);
    sd->Owner = Owner;
    sd->Control &= ~SE_OWNER_DEFAULTED;
    if (OwnerDefaulted) sd->Control |= SE_OWNER_DEFAULTED;
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS NTAPI RtlSetGroupSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                      PSID Group, BOOLEAN GroupDefaulted) {
    NTSTATUS s = CheckSettable(SecurityDescriptor);
    if (!NT_SUCCESS(s)) return s;
    auto sd = Abs(SecurityDescriptor);
    sd->Group = Group;
    sd->Control &= ~SE_GROUP_DEFAULTED;
    if (GroupDefaulted) sd->Control |= SE_GROUP_DEFAULTED;
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS NTAPI RtlGetOwnerSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                      PSID* Owner, PBOOLEAN OwnerDefaulted) {
    auto sd = Abs(SecurityDescriptor);
    if (sd->Revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
    if (SelfRelative(sd))
        *Owner = RelPart(sd, Load<SECURITY_DESCRIPTOR_RELATIVE>((uint8_t*)sd).Owner);
    else
        *Owner = sd->Owner;
    *OwnerDefaulted = (sd->Control & SE_OWNER_DEFAULTED) ? TRUE : FALSE;
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS NTAPI RtlGetGroupSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                      PSID* Group, PBOOLEAN GroupDefaulted) {
    auto sd = Abs(SecurityDescriptor);
    if (sd->Revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
    if (SelfRelative(sd))
        *Group = RelPart(sd, Load<SECURITY_DESCRIPTOR_RELATIVE>((uint8_t*)sd).Group);
    else
        *Group = sd->Group;
    *GroupDefaulted = (sd->Control & SE_GROUP_DEFAULTED) ? TRUE : FALSE;
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS NTAPI RtlGetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                     PBOOLEAN DaclPresent, PACL* Dacl,
                                                     PBOOLEAN DaclDefaulted) {
    auto sd = Abs(SecurityDescriptor);
    if (sd->Revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
    *DaclPresent = (sd->Control & SE_DACL_PRESENT) ? TRUE : FALSE;
    if (*DaclPresent) {
        *Dacl = SelfRelative(sd)
                    ? (PACL)RelPart(sd, Load<SECURITY_DESCRIPTOR_RELATIVE>((uint8_t*)sd).Dacl)
                    : sd->Dacl;
        *DaclDefaulted = (sd->Control & SE_DACL_DEFAULTED) ? TRUE : FALSE;
    }
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS NTAPI RtlGetSaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                     PBOOLEAN SaclPresent, PACL* Sacl,
                                                     PBOOLEAN SaclDefaulted) {
    auto sd = Abs(SecurityDescriptor);
    if (sd->Revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
    *SaclPresent = (sd->Control & SE_SACL_PRESENT) ? TRUE : FALSE;
    if (*SaclPresent) {
        *Sacl = SelfRelative(sd)
                    ? (PACL)RelPart(sd, Load<SECURITY_DESCRIPTOR_RELATIVE>((uint8_t*)sd).Sacl)
                    : sd->Sacl;
        *SaclDefaulted = (sd->Control & SE_SACL_DEFAULTED) ? TRUE : FALSE;
    }
    return STATUS_SUCCESS;
}

EXTERN_C ULONG NTAPI RtlLengthSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor) {
    PSID owner = nullptr, group = nullptr;
    PACL dacl = nullptr, sacl = nullptr;
    BOOLEAN d, present = FALSE;
    ULONG sum = SelfRelative(SecurityDescriptor) ? sizeof(SECURITY_DESCRIPTOR_RELATIVE)
                                                 : sizeof(SECURITY_DESCRIPTOR);
    if (!NT_SUCCESS(RtlGetOwnerSecurityDescriptor(SecurityDescriptor, &owner, &d))) return sum;
    RtlGetGroupSecurityDescriptor(SecurityDescriptor, &group, &d);
    if (owner) sum += (ULONG)Align4(RtlLengthSid(owner));
    if (group) sum += (ULONG)Align4(RtlLengthSid(group));
    RtlGetDaclSecurityDescriptor(SecurityDescriptor, &present, &dacl, &d);
    if (present && dacl) sum += (ULONG)Align4(dacl->AclSize);
    present = FALSE;
    RtlGetSaclSecurityDescriptor(SecurityDescriptor, &present, &sacl, &d);
    if (present && sacl) sum += (ULONG)Align4(sacl->AclSize);
    return sum;
}

EXTERN_C BOOLEAN NTAPI RtlValidSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor) {
    auto p = static_cast<const uint8_t*>(SecurityDescriptor);
    if (!p) return FALSE;
    Parsed d;
    return NT_SUCCESS(ParseDescriptor(p, ReadableFrom(p), &d)) ? TRUE : FALSE;
}

EXTERN_C BOOLEAN NTAPI RtlValidRelativeSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptorInput,
                                                          ULONG SecurityDescriptorLength,
                                                          SECURITY_INFORMATION RequiredInformation) {
    auto p = static_cast<const uint8_t*>(SecurityDescriptorInput);
    if (!p || SecurityDescriptorLength < sizeof(SECURITY_DESCRIPTOR_RELATIVE)) return FALSE;
    size_t n = std::min<size_t>(SecurityDescriptorLength, ReadableFrom(p));
    if (n < sizeof(SECURITY_DESCRIPTOR_RELATIVE)) return FALSE;
    if (!(Load<USHORT>(p + 2) & SE_SELF_RELATIVE)) return FALSE;
    Parsed d;
    if (!NT_SUCCESS(ParseDescriptor(p, n, &d))) return FALSE;
    if ((RequiredInformation & OWNER_SECURITY_INFORMATION) && d.owner.empty()) return FALSE;
    if ((RequiredInformation & GROUP_SECURITY_INFORMATION) && d.group.empty()) return FALSE;
    if ((RequiredInformation & DACL_SECURITY_INFORMATION) && !d.dacl_present) return FALSE;
    if ((RequiredInformation & SACL_SECURITY_INFORMATION) && !d.sacl_present) return FALSE;
    return TRUE;
}

EXTERN_C NTSTATUS NTAPI RtlAbsoluteToSelfRelativeSD(PSECURITY_DESCRIPTOR AbsoluteSecurityDescriptor,
                                                    PSECURITY_DESCRIPTOR SelfRelativeSecurityDescriptor,
                                                    PULONG BufferLength) {
    auto sd = Abs(AbsoluteSecurityDescriptor);
    if (sd->Revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
    if (sd->Control & SE_SELF_RELATIVE) return STATUS_BAD_DESCRIPTOR_FORMAT;
    Parsed d;
    auto p = reinterpret_cast<const uint8_t*>(sd);
    NTSTATUS s = ParseDescriptor(p, sizeof(SECURITY_DESCRIPTOR), &d);
    if (!NT_SUCCESS(s)) return s;
    std::vector<uint8_t> out = BuildRelative(d);
    if (*BufferLength < out.size()) {
        *BufferLength = (ULONG)out.size();
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(SelfRelativeSecurityDescriptor, out.data(), out.size());
    return STATUS_SUCCESS;
}

// --- capture -------------------------------------------------------------------------------------
EXTERN_C NTSTATUS NTAPI SeCaptureSecurityDescriptor(PSECURITY_DESCRIPTOR InputSecurityDescriptor,
                                                    KPROCESSOR_MODE RequestorMode, POOL_TYPE PoolType,
                                                    BOOLEAN ForceCapture,
                                                    PSECURITY_DESCRIPTOR* OutputSecurityDescriptor) {
    (void)RequestorMode;
    (void)ForceCapture;
    *OutputSecurityDescriptor = nullptr;
    if (!InputSecurityDescriptor) return STATUS_SUCCESS;
    std::vector<uint8_t> copy;
    NTSTATUS s = hk::security::detail::CopyDescriptor(InputSecurityDescriptor, &copy);
    if (!NT_SUCCESS(s)) return s;
    void* out = ExAllocatePoolWithTag(PoolType, copy.size(), hk::MakeTag("SeSc"));
    if (!out) return STATUS_INSUFFICIENT_RESOURCES;
    std::memcpy(out, copy.data(), copy.size());
    *OutputSecurityDescriptor = out;
    return STATUS_SUCCESS;
}

EXTERN_C void NTAPI SeReleaseSecurityDescriptor(PSECURITY_DESCRIPTOR CapturedSecurityDescriptor,
                                                KPROCESSOR_MODE RequestorMode, BOOLEAN ForceCapture) {
    (void)RequestorMode;
    (void)ForceCapture;
    if (CapturedSecurityDescriptor) ExFreePoolWithTag(CapturedSecurityDescriptor, 0);
}

// The WDM version the machine presents is configurable, so tests can run the
// driver as on an older system.
EXTERN_C BOOLEAN NTAPI IoIsWdmVersionAvailable(UCHAR MajorVersion,
                                                                     UCHAR MinorVersion) {
    std::lock_guard<std::mutex> g(g_wdm_lock);
    if (MajorVersion != g_wdm_major) return MajorVersion < g_wdm_major ? TRUE : FALSE;
    return MinorVersion <= g_wdm_minor ? TRUE : FALSE;
}

// --- the C++ side ------------------------------------------------------------------------------------------
namespace hk::security {

void SetWdmVersion(UCHAR major, UCHAR minor) {
    std::lock_guard<std::mutex> g(g_wdm_lock);
    g_wdm_major = major;
    g_wdm_minor = minor;
}

std::vector<uint8_t> SidFromString(const std::string& text) { return ParseSidString(text); }

std::string SidToString(const void* sid) {
    auto p = static_cast<const uint8_t*>(sid);
    uint64_t authority = 0;
    for (int k = 0; k < 6; ++k) authority = (authority << 8) | p[2 + k];
    std::ostringstream out;
    out << "S-" << (int)p[0] << "-";
    if (authority >> 32) out << "0x" << std::hex << std::uppercase << authority << std::dec;
    else out << authority;
    for (int k = 0; k < p[1]; ++k) out << "-" << Load<ULONG>(p + 8 + 4 * k);
    return out.str();
}

NTSTATUS Validate(const void* descriptor, size_t length) {
    std::vector<uint8_t> out;
    return detail::CopyDescriptorBounded(descriptor, length, &out);
}

std::string ToSddl(const void* descriptor, size_t length) {
    Parsed d;
    if (!descriptor || !NT_SUCCESS(ParseDescriptor(static_cast<const uint8_t*>(descriptor), length, &d)))
        return "";
    std::string out;
    if (!d.owner.empty()) out += "O:" + RenderSid(d.owner.data());
    if (!d.group.empty()) out += "G:" + RenderSid(d.group.data());
    if (d.dacl_present) out += "D:" + RenderAcl(d.dacl, d.control, true);
    if (d.sacl_present) out += "S:" + RenderAcl(d.sacl, d.control, false);
    return out;
}

std::vector<uint8_t> FromSddl(const std::string& sddl, NTSTATUS* status) {
    std::vector<uint8_t> out;
    NTSTATUS s = SddlParser(sddl).Run(&out);
    if (status) *status = s;
    if (!NT_SUCCESS(s)) out.clear();
    return out;
}

namespace detail {

NTSTATUS CopyDescriptorBounded(const void* descriptor, size_t length, std::vector<uint8_t>* out) {
    auto p = static_cast<const uint8_t*>(descriptor);
    if (!p) return STATUS_INVALID_SECURITY_DESCR;
    Parsed d;
    NTSTATUS s = ParseDescriptor(p, std::min(length, ReadableFrom(p)), &d);
    if (!NT_SUCCESS(s)) return s;
    *out = BuildRelative(d);
    return STATUS_SUCCESS;
}

NTSTATUS CopyDescriptor(PSECURITY_DESCRIPTOR descriptor, std::vector<uint8_t>* out) {
    return CopyDescriptorBounded(descriptor, SIZE_MAX, out);
}

NTSTATUS MergeDescriptor(const std::vector<uint8_t>& existing, SECURITY_INFORMATION information,
                         const std::vector<uint8_t>& modification, std::vector<uint8_t>* out) {
    Parsed base, mod;
    NTSTATUS s;
    if (!existing.empty() && !NT_SUCCESS(s = ParseDescriptor(existing.data(), existing.size(), &base)))
        return s;
    if (!NT_SUCCESS(s = ParseDescriptor(modification.data(), modification.size(), &mod))) return s;
    if ((information & OWNER_SECURITY_INFORMATION) && mod.owner.empty()) return STATUS_INVALID_OWNER;
    if ((information & GROUP_SECURITY_INFORMATION) && mod.group.empty())
        return STATUS_INVALID_PRIMARY_GROUP;
    auto take = [&](SECURITY_DESCRIPTOR_CONTROL bits) {
        base.control = (SECURITY_DESCRIPTOR_CONTROL)((base.control & ~bits) | (mod.control & bits));
    };
    if (information & OWNER_SECURITY_INFORMATION) {
        base.owner = mod.owner;
        take(SE_OWNER_DEFAULTED);
    }
    if (information & GROUP_SECURITY_INFORMATION) {
        base.group = mod.group;
        take(SE_GROUP_DEFAULTED);
    }
    if (information & DACL_SECURITY_INFORMATION) {
        base.dacl_present = mod.dacl_present;
        base.dacl = mod.dacl;
        take(SE_DACL_DEFAULTED | SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED |
             SE_DACL_AUTO_INHERIT_REQ | SE_DACL_UNTRUSTED);
    }
    if (information & SACL_SECURITY_INFORMATION) {
        base.sacl_present = mod.sacl_present;
        base.sacl = mod.sacl;
        take(SE_SACL_DEFAULTED | SE_SACL_PROTECTED | SE_SACL_AUTO_INHERITED |
             SE_SACL_AUTO_INHERIT_REQ);
    }
    *out = BuildRelative(base);
    return STATUS_SUCCESS;
}

}  // namespace detail
}  // namespace hk::security
