// Attribute lists: ordered, named, typed values reachable by name and by
// position. AttrList is a shared handle; Clone gives an independent copy.
// No lock: callers that share one list between threads serialise access.
#pragma once

#include "com_disp_evt/safe_ptr.h"
#include "common/AttrValue.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace common {

// The operations of an attribute list, Clear and Clone aside, written once:
// the interface declares them pure (KEX_ATTR_LIST_OPERATIONS(virtual, = 0)),
// each implementation overrides them (KEX_ATTR_LIST_OPERATIONS(, override)).
#define KEX_ATTR_LIST_OPERATIONS(VIRTUAL, TAIL)                                                                        \
    VIRTUAL int32_t Count() const TAIL;                                                                                \
    VIRTUAL const std::string& NameAt(int32_t pos) const TAIL;                                                         \
    VIRTUAL bool Rename(const std::string& oldName, const std::string& newName) TAIL;                                  \
    VIRTUAL bool RenameAt(int32_t pos, const std::string& newName) TAIL;                                               \
    VIRTUAL bool Has(const std::string& name) const TAIL;                                                              \
    VIRTUAL int32_t KindOf(const std::string& name) const TAIL;                                                        \
    VIRTUAL int32_t KindAt(int32_t pos) const TAIL;                                                                    \
    VIRTUAL int32_t GetInt(const std::string& name, int32_t def) const TAIL;                                           \
    VIRTUAL int32_t GetIntAt(int32_t pos, int32_t def) const TAIL;                                                     \
    VIRTUAL double GetDouble(const std::string& name, double def) const TAIL;                                          \
    VIRTUAL double GetDoubleAt(int32_t pos, double def) const TAIL;                                                    \
    VIRTUAL std::string GetString(const std::string& name, const std::string& def) const TAIL;                         \
    VIRTUAL std::string GetStringAt(int32_t pos, const std::string& def) const TAIL;                                   \
    VIRTUAL void SetString(const std::string& name, const std::string& text, bool mark = false) TAIL;                  \
    VIRTUAL void SetStringAt(int32_t pos, const std::string& text, bool mark = false) TAIL;                            \
    VIRTUAL void SetDouble(const std::string& name, double value) TAIL;                                                \
    VIRTUAL void SetDoubleAt(int32_t pos, double value) TAIL;                                                          \
    VIRTUAL void SetInt(const std::string& name, int32_t value) TAIL;                                                  \
    VIRTUAL void SetIntAt(int32_t pos, int32_t value) TAIL;                                                            \
    VIRTUAL void SetNull(const std::string& name) TAIL;                                                                \
    VIRTUAL void SetNullAt(int32_t pos) TAIL;                                                                          \
    VIRTUAL void Remove(const std::string& name) TAIL;

class IAttrList {
public:
    virtual ~IAttrList() = default;

    KEX_ATTR_LIST_OPERATIONS(virtual, = 0)
    virtual void Clear() = 0;
    // A new, independent list on the heap; the caller owns it.
    [[nodiscard]] virtual IAttrList* Clone() const = 0;
};

class AttrListInnerImpl : public IAttrList {
public:
    struct Entry {
        std::string name;
        AttrValue value;
    };

    AttrListInnerImpl() = default;

    KEX_ATTR_LIST_OPERATIONS(, override)
    void Clear() override;
    [[nodiscard]] AttrListInnerImpl* Clone() const override;

    // Storage layout, for diagnostics: the number of slots (live and free)
    // and the slot that holds the attribute at a position (-1 out of range).
    int32_t SlotCount() const { return static_cast<int32_t>(m_order.size()); }
    int32_t SlotAt(int32_t pos) const { return InRange(pos) ? m_order[static_cast<size_t>(pos)] : -1; }

private:
    bool InRange(int32_t pos) const { return pos >= 0 && pos < m_count; }
    const AttrValue* Find(const std::string& name) const;
    const AttrValue* FindAt(int32_t pos) const;
    AttrValue* FindAt(int32_t pos);
    // The value under name, added at the end when the name is absent or empty.
    AttrValue& Slot(const std::string& name);
    bool RenameSlot(int32_t slot, const std::string& newName);
    void Compact() const;

    // Slots are storage, not state: compaction, also from the const Clone,
    // rearranges them without changing any position or value.
    mutable std::map<std::string, int32_t> m_names;
    mutable std::vector<Entry> m_entries;
    mutable std::vector<int32_t> m_order; // [0, m_count): live slots by position; then free slots
    int32_t m_count = 0;
};

// A handle sharing one implementation among all its copies.
class AttrList : public IAttrList {
public:
    // An empty list of its own.
    AttrList();
    // Takes ownership; a null implementation gives a handle whose every
    // operation throws com_disp_evt::null_ref.
    explicit AttrList(IAttrList* impl);

    KEX_ATTR_LIST_OPERATIONS(, override)
    void Clear() override;
    // The implementation's clone, raw (the interface's operation).
    [[nodiscard]] IAttrList* Clone() const override;

    // An independent list as a handle: shares nothing with this one.
    // (Not virtual: a row set's Clone, which hides it, clones the table.)
    [[nodiscard]] AttrList Clone();

    // Whether both handles share one implementation.
    bool SharesWith(const AttrList& other) const noexcept { return m_attrs == other.m_attrs; }

private:
    com_disp_evt::safe_ptr<IAttrList> m_attrs;
};

} // namespace common
