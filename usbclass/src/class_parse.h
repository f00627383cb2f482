// What the descriptor validators share inside usbclass: finding texts and
// the walk over a control interface's units and terminals, which the video
// and audio classes lay out the same way (a header, then one class-specific
// descriptor per entity, each with its ID at byte 3).
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "usbclass/descriptors.h"

namespace usbclass {
namespace detail {

// The class-specific interface descriptor type, the same in both classes.
constexpr uint8_t CS_INTERFACE = 0x24;

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Bytes the class-specific interface descriptors of a list take, as a
// class header's wTotalLength counts them.
size_t ClassSpecificLength(const std::vector<RawDescriptor>& descriptors);

// The length check of one entity descriptor: reports a descriptor shorter
// than its layout needs and remembers that the entity is not to be kept.
struct EntityLength {
    const RawDescriptor& d;
    const char* area;
    Findings& findings;
    bool good = true;

    bool operator()(size_t length, const char* what) {
        if (good && d.Length() < length) {
            findings.Error(Format("%s: %s at offset %zu has bLength %u, needs %zu", area, what, d.offset, d.Length(),
                                  length));
            good = false;
        }
        return good;
    }
};

// Walks the class-specific descriptors of a control interface after its
// header (`area` names the interface in findings). `parseOne(d, e, need)`
// reads one unit or terminal into `e` (its subtype already set) and checks
// its length with `need`; it clears `need.good` for a descriptor it does not
// keep. Entities without an ID, with an ID already used, or whose inputs
// name themselves or no entity are refused.
template <typename EntityT, typename ParseOne>
void ParseEntities(const std::vector<RawDescriptor>& descriptors, const char* area, uint8_t headerSubtype,
                   std::vector<EntityT>& entities, Findings& findings, ParseOne parseOne) {
    std::set<uint8_t> ids;
    for (size_t i = 1; i < descriptors.size(); ++i) {
        const RawDescriptor& d = descriptors[i];
        if (d.Type() != CS_INTERFACE) {
            findings.Warn(Format("%s: descriptor type 0x%02X at offset %zu ignored", area, d.Type(), d.offset));
            continue;
        }
        if (d.Subtype() == headerSubtype) {
            findings.Error(Format("%s: second header at offset %zu", area, d.offset));
            continue;
        }
        EntityT e;
        e.subtype = d.Subtype();
        EntityLength need{d, area, findings};
        parseOne(d, e, need);
        if (!need.good) continue;
        if (e.id == 0) {
            findings.Error(Format("%s: entity at offset %zu has ID 0", area, d.offset));
            continue;
        }
        if (!ids.insert(e.id).second) {
            findings.Error(Format("%s: entity ID %u used twice", area, e.id));
            continue;
        }
        entities.push_back(e);
    }
    auto known = [&](uint8_t id) {
        for (const EntityT& e : entities)
            if (e.id == id) return true;
        return false;
    };
    for (const EntityT& e : entities)
        for (uint8_t source : e.sources) {
            if (source == e.id)
                findings.Error(Format("%s: entity %u takes its input from itself", area, e.id));
            else if (!known(source))
                findings.Error(Format("%s: entity %u takes its input from unknown entity %u", area, e.id, source));
        }
}

}  // namespace detail
}  // namespace usbclass
