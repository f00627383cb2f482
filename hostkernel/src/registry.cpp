// Configuration manager: a hierarchical, case-insensitive key store with the
// Zw key and value routines, the statuses and required lengths Windows
// reports, the security a key is created with, failure injection, and a
// file form so that what a driver stored survives a reboot of the machine.
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>

#include "hk/handles.h"
#include "hk/machine.h"
#include "hk/registry.h"
#include "hk/security.h"
#include "hk/verifier.h"
#include "text.h"

namespace {

const size_t kMaxKeyNameChars = 255;
const size_t kMaxValueNameChars = 16383;

struct Value {
    std::u16string name;
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};

struct Key {
    std::u16string name;
    std::u16string class_name;
    std::vector<uint8_t> security;
    bool is_volatile = false;
    bool deleted = false;
    Key* parent = nullptr;
    std::map<std::u16string, std::shared_ptr<Key>> subkeys;  // by upper-cased name
    std::vector<Value> values;
};

std::u16string Upper(const std::u16string& s) {
    std::u16string out = s;
    for (auto& c : out)
        if (c >= u'a' && c <= u'z') c = (char16_t)(c - u'a' + u'A');
    return out;
}

using hk::text::Narrow;
using hk::text::Widen;

std::u16string PathOf(const Key* k) {
    std::u16string path;
    for (; k; k = k->parent) path = u"\\" + k->name + path;
    return path;
}

struct Failure {
    size_t countdown;
    NTSTATUS status;
};

struct State {
    hk::Machine* owner = nullptr;
    std::shared_ptr<Key> root;
    std::map<std::string, Failure> failures;
    std::map<std::string, size_t> calls;
};

std::recursive_mutex g_lock;
State g_state;

std::shared_ptr<Key> NewRoot();

State& Current() {
    hk::Machine* m = hk::Machine::TryCurrent();
    if (g_state.owner != m || !g_state.root) {
        g_state = State{};
        g_state.owner = m;
        g_state.root = NewRoot();
        if (m) {
            m->AddShutdownHook([] {
                std::lock_guard<std::recursive_mutex> g(g_lock);
                g_state = State{};
            });
        }
    }
    return g_state;
}

std::shared_ptr<Key> Child(Key& parent, const std::u16string& name) {
    auto it = parent.subkeys.find(Upper(name));
    return it == parent.subkeys.end() ? nullptr : it->second;
}

std::shared_ptr<Key> AddChild(Key& parent, const std::u16string& name) {
    auto k = std::make_shared<Key>();
    k->name = name;
    k->parent = &parent;
    k->is_volatile = parent.is_volatile;
    parent.subkeys[Upper(name)] = k;
    return k;
}

bool SplitPath(const std::u16string& path, std::vector<std::u16string>* parts) {
    parts->clear();
    size_t i = 0;
    while (i <= path.size()) {
        size_t j = path.find(u'\\', i);
        if (j == std::u16string::npos) j = path.size();
        std::u16string part = path.substr(i, j - i);
        if (part.empty() || part.size() > kMaxKeyNameChars) return false;
        parts->push_back(part);
        if (j == path.size()) break;
        i = j + 1;
    }
    return true;
}

std::shared_ptr<Key> NewRoot() {
    auto root = std::make_shared<Key>();
    root->name = u"REGISTRY";
    for (const char16_t* path : {u"Machine\\System\\CurrentControlSet\\Control\\Class",
                                 u"Machine\\System\\CurrentControlSet\\Services",
                                 u"Machine\\Software", u"Machine\\Hardware", u"User"}) {
        std::vector<std::u16string> parts;
        SplitPath(path, &parts);
        Key* k = root.get();
        for (auto& p : parts) {
            auto c = Child(*k, p);
            k = c ? c.get() : AddChild(*k, p).get();
        }
    }
    return root;
}

// Absolute paths start at "\Registry".
std::shared_ptr<Key> Walk(std::shared_ptr<Key> from, const std::vector<std::u16string>& parts,
                          size_t count) {
    for (size_t i = 0; i < count && from; ++i) from = Child(*from, parts[i]);
    return from;
}

class KeyObject : public hk::HandleObject {
public:
    explicit KeyObject(std::shared_ptr<Key> key) : key_(std::move(key)) {}
    const char* TypeName() const override { return "Key"; }
    std::string Describe() const override { return Narrow(PathOf(key_.get())); }
    const std::shared_ptr<Key>& key() const { return key_; }

private:
    std::shared_ptr<Key> key_;
};

// Counts the call, checks the level and applies an injected failure.
NTSTATUS Enter(const char* routine, const void* object) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        hk::verifier::Report(hk::verifier::kZwAboveLowIrql, routine, object, "registry call above PASSIVE_LEVEL");
    State& s = Current();
    s.calls[routine]++;
    auto it = s.failures.find(routine);
    if (it != s.failures.end() && --it->second.countdown == 0) {
        NTSTATUS status = it->second.status;
        s.failures.erase(it);
        return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS KeyOf(HANDLE handle, std::shared_ptr<Key>* key) {
    auto any = hk::handles::LookupAny(handle);
    if (!any) return STATUS_INVALID_HANDLE;
    auto k = std::dynamic_pointer_cast<KeyObject>(any);
    if (!k) return STATUS_OBJECT_TYPE_MISMATCH;
    if (k->key()->deleted) return STATUS_KEY_DELETED;
    *key = k->key();
    return STATUS_SUCCESS;
}

bool NameOf(PCUNICODE_STRING s, std::u16string* out) {
    out->clear();
    if (!s || s->Length == 0) return true;
    if (!s->Buffer || (s->Length & 1) || s->Length > s->MaximumLength) return false;
    out->assign(reinterpret_cast<const char16_t*>(s->Buffer), s->Length / sizeof(WCHAR));
    return true;
}

// Resolves the object attributes to a starting key and the components below it.
NTSTATUS Resolve(POBJECT_ATTRIBUTES attributes, std::shared_ptr<Key>* start,
                 std::vector<std::u16string>* parts) {
    if (!attributes || attributes->Length != sizeof(OBJECT_ATTRIBUTES)) return STATUS_INVALID_PARAMETER;
    if (attributes->Attributes & ~(ULONG)OBJ_VALID_ATTRIBUTES) return STATUS_INVALID_PARAMETER;
    std::u16string name;
    if (!NameOf(attributes->ObjectName, &name)) return STATUS_OBJECT_NAME_INVALID;
    parts->clear();
    if (attributes->RootDirectory) {
        NTSTATUS s = KeyOf(attributes->RootDirectory, start);
        if (!NT_SUCCESS(s)) return s;
        if (!name.empty() && name[0] == u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
        if (name.empty()) return STATUS_SUCCESS;
        return SplitPath(name, parts) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_INVALID;
    }
    if (name.empty() || name[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    if (!SplitPath(name.substr(1), parts)) return STATUS_OBJECT_NAME_INVALID;
    if (Upper((*parts)[0]) != u"REGISTRY") return STATUS_OBJECT_PATH_NOT_FOUND;
    parts->erase(parts->begin());
    *start = Current().root;
    return STATUS_SUCCESS;
}

Value* FindValue(Key& k, const std::u16string& name) {
    std::u16string u = Upper(name);
    for (auto& v : k.values)
        if (Upper(v.name) == u) return &v;
    return nullptr;
}

std::shared_ptr<Key> KeyAt(const std::string& path, bool create) {
    std::u16string p = Widen(path);
    if (p.empty() || p[0] != u'\\') return nullptr;
    std::vector<std::u16string> parts;
    if (!SplitPath(p.substr(1), &parts) || Upper(parts[0]) != u"REGISTRY") return nullptr;
    std::shared_ptr<Key> k = Current().root;
    for (size_t i = 1; i < parts.size(); ++i) {
        auto c = Child(*k, parts[i]);
        if (!c) {
            if (!create) return nullptr;
            c = AddChild(*k, parts[i]);
        }
        k = c;
    }
    return k;
}

void MarkDeleted(Key& k) {
    k.deleted = true;
    for (auto& [n, c] : k.subkeys) MarkDeleted(*c);
}

std::string Hex(const std::vector<uint8_t>& b) {
    static const char* d = "0123456789abcdef";
    std::string s;
    for (uint8_t c : b) {
        s += d[c >> 4];
        s += d[c & 15];
    }
    return s;
}

bool Unhex(const std::string& s, std::vector<uint8_t>* out) {
    if (s.size() & 1) return false;
    out->clear();
    for (size_t i = 0; i < s.size(); i += 2) {
        auto v = [](char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1; };
        int a = v(s[i]), b = v(s[i + 1]);
        if (a < 0 || b < 0) return false;
        out->push_back((uint8_t)(a * 16 + b));
    }
    return true;
}

nlohmann::json ToJson(const Key& k) {
    nlohmann::json j;
    j["name"] = Narrow(k.name);
    if (!k.class_name.empty()) j["class"] = Narrow(k.class_name);
    if (!k.security.empty()) j["security"] = Hex(k.security);
    j["values"] = nlohmann::json::array();
    for (auto& v : k.values)
        j["values"].push_back({{"name", Narrow(v.name)}, {"type", v.type}, {"data", Hex(v.data)}});
    j["subkeys"] = nlohmann::json::array();
    for (auto& [n, c] : k.subkeys)
        if (!c->is_volatile) j["subkeys"].push_back(ToJson(*c));
    return j;
}

std::u16string FromUtf8(const std::string& s) {
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        unsigned char c = s[i];
        if (c < 0x80) { out += c; i += 1; }
        else if ((c & 0xE0) == 0xC0 && i + 1 < s.size()) { out += (char16_t)(((c & 0x1F) << 6) | (s[i + 1] & 0x3F)); i += 2; }
        else if (i + 2 < s.size()) { out += (char16_t)(((c & 0x0F) << 12) | ((s[i + 1] & 0x3F) << 6) | (s[i + 2] & 0x3F)); i += 3; }
        else break;
    }
    return out;
}

bool FromJson(const nlohmann::json& j, Key* k) {
    if (!j.is_object() || !j.contains("name")) return false;
    k->name = FromUtf8(j["name"].get<std::string>());
    if (j.contains("class")) k->class_name = FromUtf8(j["class"].get<std::string>());
    if (j.contains("security") && !Unhex(j["security"].get<std::string>(), &k->security)) return false;
    for (auto& v : j.value("values", nlohmann::json::array())) {
        Value val;
        val.name = FromUtf8(v.at("name").get<std::string>());
        val.type = v.at("type").get<ULONG>();
        if (!Unhex(v.at("data").get<std::string>(), &val.data)) return false;
        k->values.push_back(std::move(val));
    }
    for (auto& c : j.value("subkeys", nlohmann::json::array())) {
        auto child = std::make_shared<Key>();
        child->parent = k;
        if (!FromJson(c, child.get())) return false;
        k->subkeys[Upper(child->name)] = child;
    }
    return true;
}

void DumpKey(const Key& k, int depth, std::ostringstream& out) {
    std::string indent(depth * 2, ' ');
    out << indent << Narrow(k.name) << (k.security.empty() ? "" : "  [" +
        hk::security::ToSddl(k.security.data(), k.security.size()) + "]") << "\n";
    for (auto& v : k.values) {
        out << indent << "  " << (v.name.empty() ? "(default)" : Narrow(v.name)) << " = ";
        if (v.type == REG_DWORD && v.data.size() == 4) {
            ULONG d;
            std::memcpy(&d, v.data.data(), 4);
            char buf[32];
            std::snprintf(buf, sizeof(buf), "dword 0x%08X", d);
            out << buf;
        } else if (v.type == REG_SZ || v.type == REG_EXPAND_SZ) {
            std::u16string s(v.data.size() / 2, u'\0');
            std::memcpy(s.data(), v.data.data(), s.size() * 2);
            while (!s.empty() && s.back() == 0) s.pop_back();
            out << "\"" << Narrow(s) << "\"";
        } else if (v.type == REG_BINARY) {
            std::string sddl = hk::security::ToSddl(v.data.data(), v.data.size());
            out << "binary " << v.data.size() << " bytes" << (sddl.empty() ? "" : " " + sddl);
        } else {
            out << "type " << v.type << ", " << v.data.size() << " bytes";
        }
        out << "\n";
    }
    for (auto& [n, c] : k.subkeys) DumpKey(*c, depth + 1, out);
}

}  // namespace

// --- Zw routines -------------------------------------------------------------------------------------
EXTERN_C NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                                  POBJECT_ATTRIBUTES ObjectAttributes) {
    std::lock_guard<std::recursive_mutex> g(g_lock);
    if (!KeyHandle) return STATUS_ACCESS_VIOLATION;
    *KeyHandle = nullptr;
    NTSTATUS s = Enter("ZwOpenKey", ObjectAttributes);
    if (!NT_SUCCESS(s)) return s;
    std::shared_ptr<Key> start;
    std::vector<std::u16string> parts;
    if (!NT_SUCCESS(s = Resolve(ObjectAttributes, &start, &parts))) return s;
    std::shared_ptr<Key> k = Walk(start, parts, parts.size());
    if (!k) return STATUS_OBJECT_NAME_NOT_FOUND;
    *KeyHandle = hk::handles::Insert(std::make_shared<KeyObject>(k), DesiredAccess);
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS NTAPI ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                                    POBJECT_ATTRIBUTES ObjectAttributes, ULONG TitleIndex,
                                    PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition) {
    (void)TitleIndex;
    std::lock_guard<std::recursive_mutex> g(g_lock);
    if (!KeyHandle) return STATUS_ACCESS_VIOLATION;
    *KeyHandle = nullptr;
    NTSTATUS s = Enter("ZwCreateKey", ObjectAttributes);
    if (!NT_SUCCESS(s)) return s;
    if (CreateOptions & ~(ULONG)REG_LEGAL_OPTION) return STATUS_INVALID_PARAMETER;
    std::shared_ptr<Key> start;
    std::vector<std::u16string> parts;
    if (!NT_SUCCESS(s = Resolve(ObjectAttributes, &start, &parts))) return s;
    if (parts.empty()) {
        *KeyHandle = hk::handles::Insert(std::make_shared<KeyObject>(start), DesiredAccess);
        if (Disposition) *Disposition = REG_OPENED_EXISTING_KEY;
        return STATUS_SUCCESS;
    }
    std::shared_ptr<Key> parent = Walk(start, parts, parts.size() - 1);
    if (!parent) return STATUS_OBJECT_NAME_NOT_FOUND;
    std::shared_ptr<Key> k = Child(*parent, parts.back());
    ULONG disposition = REG_OPENED_EXISTING_KEY;
    if (!k) {
        std::vector<uint8_t> security;
        if (ObjectAttributes->SecurityDescriptor) {
            s = hk::security::detail::CopyDescriptor(ObjectAttributes->SecurityDescriptor, &security);
            if (!NT_SUCCESS(s)) return s;
        }
        std::u16string class_name;
        if (!NameOf(Class, &class_name)) return STATUS_INVALID_PARAMETER;
        k = AddChild(*parent, parts.back());
        k->security = std::move(security);
        k->class_name = class_name;
        k->is_volatile = parent->is_volatile || (CreateOptions & REG_OPTION_VOLATILE);
        disposition = REG_CREATED_NEW_KEY;
    }
    *KeyHandle = hk::handles::Insert(std::make_shared<KeyObject>(k), DesiredAccess);
    if (Disposition) *Disposition = disposition;
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                        KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                        PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    std::lock_guard<std::recursive_mutex> g(g_lock);
    NTSTATUS s = Enter("ZwQueryValueKey", KeyHandle);
    if (!NT_SUCCESS(s)) return s;
    if (!ResultLength) return STATUS_ACCESS_VIOLATION;
    std::shared_ptr<Key> k;
    if (!NT_SUCCESS(s = KeyOf(KeyHandle, &k))) return s;
    std::u16string name;
    if (!NameOf(ValueName, &name)) return STATUS_OBJECT_NAME_INVALID;
    Value* v = FindValue(*k, name);
    if (!v) return STATUS_OBJECT_NAME_NOT_FOUND;

    ULONG nameBytes = (ULONG)(v->name.size() * sizeof(WCHAR));
    ULONG dataBytes = (ULONG)v->data.size();
    auto out = static_cast<uint8_t*>(KeyValueInformation);
    ULONG fixed, total, dataOffset = 0;
    switch (KeyValueInformationClass) {
    case KeyValueBasicInformation:
        fixed = offsetof(KEY_VALUE_BASIC_INFORMATION, Name);
        total = fixed + nameBytes;
        break;
    case KeyValueFullInformation:
        fixed = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
        dataOffset = (fixed + nameBytes + 3) & ~3u;
        total = dataOffset + dataBytes;
        break;
    case KeyValuePartialInformation:
        fixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
        total = fixed + dataBytes;
        break;
    default:
        return STATUS_INVALID_PARAMETER;
    }
    *ResultLength = total;
    if (Length < fixed) return STATUS_BUFFER_TOO_SMALL;
    if (!out) return STATUS_ACCESS_VIOLATION;
    // The fixed part is filled whenever it fits; the rest only when all does.
    auto put = [&](size_t off, ULONG value) { std::memcpy(out + off, &value, 4); };
    switch (KeyValueInformationClass) {
    case KeyValueBasicInformation:
        put(0, 0);
        put(4, v->type);
        put(8, nameBytes);
        std::memcpy(out + fixed, v->name.data(), std::min(nameBytes, Length - fixed));
        break;
    case KeyValueFullInformation:
        put(0, 0);
        put(4, v->type);
        put(8, dataOffset);
        put(12, dataBytes);
        put(16, nameBytes);
        if (Length >= total) {
            std::memcpy(out + fixed, v->name.data(), nameBytes);
            if (dataBytes) std::memcpy(out + dataOffset, v->data.data(), dataBytes);
        }
        break;
    default:
        put(0, 0);
        put(4, v->type);
        put(8, dataBytes);
        if (Length >= total && dataBytes) std::memcpy(out + fixed, v->data.data(), dataBytes);
        break;
    }
    return Length < total ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

EXTERN_C NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex,
                                      ULONG Type, PVOID Data, ULONG DataSize) {
    (void)TitleIndex;
    std::lock_guard<std::recursive_mutex> g(g_lock);
    NTSTATUS s = Enter("ZwSetValueKey", KeyHandle);
    if (!NT_SUCCESS(s)) return s;
    std::shared_ptr<Key> k;
    if (!NT_SUCCESS(s = KeyOf(KeyHandle, &k))) return s;
    std::u16string name;
    if (!NameOf(ValueName, &name)) return STATUS_OBJECT_NAME_INVALID;
    if (name.size() > kMaxValueNameChars) return STATUS_INVALID_PARAMETER;
    if (DataSize && !Data) return STATUS_ACCESS_VIOLATION;
    auto bytes = static_cast<const uint8_t*>(Data);
    Value* v = FindValue(*k, name);
    if (!v) {
        k->values.push_back(Value{name, Type, {}});
        v = &k->values.back();
    }
    v->type = Type;
    v->data.assign(bytes, bytes + DataSize);
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS NTAPI ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
    std::lock_guard<std::recursive_mutex> g(g_lock);
    NTSTATUS s = Enter("ZwDeleteValueKey", KeyHandle);
    if (!NT_SUCCESS(s)) return s;
    std::shared_ptr<Key> k;
    if (!NT_SUCCESS(s = KeyOf(KeyHandle, &k))) return s;
    std::u16string name;
    if (!NameOf(ValueName, &name)) return STATUS_OBJECT_NAME_INVALID;
    std::u16string u = Upper(name);
    for (auto it = k->values.begin(); it != k->values.end(); ++it) {
        if (Upper(it->name) == u) {
            k->values.erase(it);
            return STATUS_SUCCESS;
        }
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

// --- the C++ side -----------------------------------------------------------------------------------
namespace hk::registry {

bool KeyExists(const std::string& path) {
    std::lock_guard<std::recursive_mutex> g(g_lock);
    return KeyAt(path, false) != nullptr;
}

void CreateKey(const std::string& path) {
    std::lock_guard<std::recursive_mutex> g(g_lock);
    KeyAt(path, true);
}

bool DeleteKey(const std::string& path) {
    std::lock_guard<std::recursive_mutex> g(g_lock);
    auto k = KeyAt(path, false);
    if (!k || !k->parent) return false;
    MarkDeleted(*k);
    k->parent->subkeys.erase(Upper(k->name));
    return true;
}

std::vector<std::string> SubKeys(const std::string& path) {
    std::lock_guard<std::recursive_mutex> g(g_lock);
    std::vector<std::string> out;
    if (auto k = KeyAt(path, false))
        for (auto& [n, c] : k->subkeys) out.push_back(Narrow(c->name));
    return out;
}

std::vector<Value> Values(const std::string& path) {
    std::lock_guard<std::recursive_mutex> g(g_lock);
    std::vector<Value> out;
    if (auto k = KeyAt(path, false))
        for (auto& v : k->values) out.push_back(Value{Narrow(v.name), v.type, v.data});
    return out;
}

std::optional<Value> GetValue(const std::string& path, const std::string& name) {
    std::lock_guard<std::recursive_mutex> g(g_lock);
    auto k = KeyAt(path, false);
    if (!k) return std::nullopt;
    ::Value* v = FindValue(*k, Widen(name));
    if (!v) return std::nullopt;
    return Value{Narrow(v->name), v->type, v->data};
}

void SetValue(const std::string& path, const std::string& name, ULONG type,
              const std::vector<uint8_t>& data) {
    std::lock_guard<std::recursive_mutex> g(g_lock);
    auto k = KeyAt(path, true);
    if (!k) return;
    ::Value* v = FindValue(*k, Widen(name));
    if (!v) {
        k->values.push_back(::Value{Widen(name), type, data});
        return;
    }
    v->type = type;
    v->data = data;
}

void SetDword(const std::string& path, const std::string& name, ULONG value) {
    std::vector<uint8_t> d(4);
    std::memcpy(d.data(), &value, 4);
    SetValue(path, name, REG_DWORD, d);
}

void SetString(const std::string& path, const std::string& name, const std::string& value) {
    std::u16string w = FromUtf8(value);
    std::vector<uint8_t> d((w.size() + 1) * 2, 0);
    std::memcpy(d.data(), w.data(), w.size() * 2);
    SetValue(path, name, REG_SZ, d);
}

bool DeleteValue(const std::string& path, const std::string& name) {
    std::lock_guard<std::recursive_mutex> g(g_lock);
    auto k = KeyAt(path, false);
    if (!k) return false;
    std::u16string u = Upper(Widen(name));
    for (auto it = k->values.begin(); it != k->values.end(); ++it) {
        if (Upper(it->name) == u) {
            k->values.erase(it);
            return true;
        }
    }
    return false;
}

std::vector<uint8_t> KeySecurity(const std::string& path) {
    std::lock_guard<std::recursive_mutex> g(g_lock);
    auto k = KeyAt(path, false);
    return k ? k->security : std::vector<uint8_t>{};
}

std::optional<std::string> GetString(const std::string& path, const std::string& name) {
    auto v = GetValue(path, name);
    if (!v || (v->type != REG_SZ && v->type != REG_EXPAND_SZ)) return std::nullopt;
    std::u16string s(v->data.size() / 2, u'\0');
    std::memcpy(s.data(), v->data.data(), s.size() * 2);
    while (!s.empty() && s.back() == 0) s.pop_back();
    return Narrow(s);
}

void FailCall(const std::string& routine, NTSTATUS status, size_t nth) {
    std::lock_guard<std::recursive_mutex> g(g_lock);
    Current().failures[routine] = Failure{nth ? nth : 1, status};
}

void ClearFailures() {
    std::lock_guard<std::recursive_mutex> g(g_lock);
    Current().failures.clear();
}

size_t CallCount(const std::string& routine) {
    std::lock_guard<std::recursive_mutex> g(g_lock);
    auto& c = Current().calls;
    auto it = c.find(routine);
    return it == c.end() ? 0 : it->second;
}

void Save(const std::string& file) {
    std::lock_guard<std::recursive_mutex> g(g_lock);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << ToJson(*Current().root).dump(1);
}

bool Load(const std::string& file) {
    std::lock_guard<std::recursive_mutex> g(g_lock);
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    auto root = std::make_shared<Key>();
    try {
        nlohmann::json j = nlohmann::json::parse(in);
        if (!FromJson(j, root.get())) return false;
    } catch (const std::exception&) {
        return false;
    }
    State& s = Current();
    MarkDeleted(*s.root);  // handles to the old tree now see deleted keys
    s.root = root;
    return true;
}

std::string Dump(const std::string& path) {
    std::lock_guard<std::recursive_mutex> g(g_lock);
    std::ostringstream out;
    if (auto k = KeyAt(path, false)) DumpKey(*k, 0, out);
    return out.str();
}

}  // namespace hk::registry
