#pragma once

#include <cstdint>
#include <map>
#include <utility>

namespace kx {
namespace core {

// Ordered map (balanced tree). Lookups never insert: a missing key yields a
// shared default-constructed value by const reference.
template <typename K, typename V>
class Map {
public:
    typedef typename std::map<K, V>::iterator iterator;
    typedef typename std::map<K, V>::const_iterator const_iterator;

    Map() = default;
    Map(std::initializer_list<std::pair<const K, V>> items) : m_items(items) {}
    Map(const Map&) = default;
    Map(Map&&) noexcept = default;
    Map& operator=(const Map&) = default;
    Map& operator=(Map&&) noexcept = default;
    virtual ~Map() = default;

    int32_t size() const { return static_cast<int32_t>(m_items.size()); }
    bool isEmpty() const { return m_items.empty(); }
    bool contains(const K& key) const { return m_items.find(key) != m_items.end(); }

    const V& get(const K& key) const {
        auto it = m_items.find(key);
        return it == m_items.end() ? empty() : it->second;
    }
    const V* find(const K& key) const {
        auto it = m_items.find(key);
        return it == m_items.end() ? nullptr : &it->second;
    }
    V* find(const K& key) {
        auto it = m_items.find(key);
        return it == m_items.end() ? nullptr : &it->second;
    }
    // Insert or replace.
    void set(const K& key, V value) { m_items[key] = std::move(value); }
    // Inserting access, for building.
    V& operator[](const K& key) { return m_items[key]; }
    const V& operator[](const K& key) const { return get(key); }
    bool remove(const K& key) { return m_items.erase(key) > 0; }
    void clear() { m_items.clear(); }

    iterator begin() { return m_items.begin(); }
    iterator end() { return m_items.end(); }
    const_iterator begin() const { return m_items.begin(); }
    const_iterator end() const { return m_items.end(); }

    bool operator==(const Map& other) const { return m_items == other.m_items; }
    bool operator!=(const Map& other) const { return !(*this == other); }

    static const V& empty() {
        static const V value{};
        return value;
    }

private:
    std::map<K, V> m_items;
};

}  // namespace core
}  // namespace kx
