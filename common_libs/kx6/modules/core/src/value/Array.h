#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "core/src/exception/OutOfRangeException.h"
#include "core/src/value/Storage.h"

namespace kx {
namespace core {

// Elements in insertion order. Capacity grows to the smallest power of two,
// at least 32, that is greater than the size asked for.
template <typename T>
class Array {
public:
    typedef typename std::vector<T>::iterator iterator;
    typedef typename std::vector<T>::const_iterator const_iterator;

    Array() = default;
    Array(std::initializer_list<T> items) {
        reserve(static_cast<int32_t>(items.size()));
        for (const T& item : items) m_items.push_back(item);
    }
    Array(const Array& other) {
        reserve(other.size());
        m_items.insert(m_items.end(), other.m_items.begin(), other.m_items.end());
    }
    Array(Array&&) noexcept = default;
    Array& operator=(const Array& other) {
        if (this != &other) {
            m_items.clear();
            reserve(other.size());
            m_items.insert(m_items.end(), other.m_items.begin(), other.m_items.end());
        }
        return *this;
    }
    Array& operator=(Array&&) noexcept = default;
    virtual ~Array() = default;

    int32_t size() const { return static_cast<int32_t>(m_items.size()); }
    int32_t capacity() const { return static_cast<int32_t>(m_items.capacity()); }
    bool isEmpty() const { return m_items.empty(); }

    void append(const T& item) {
        _grow(size() + 1);
        m_items.push_back(item);
    }
    void append(T&& item) {
        _grow(size() + 1);
        m_items.push_back(std::move(item));
    }
    void insert(int32_t index, T item) {
        if (index < 0 || index > size()) throw OutOfRangeException(index, size() + 1);
        _grow(size() + 1);
        m_items.insert(m_items.begin() + index, std::move(item));
    }
    void removeAt(int32_t index) {
        _check(index);
        m_items.erase(m_items.begin() + index);
    }
    void clear() { m_items.clear(); }
    void reserve(int32_t count) {
        if (count > capacity()) m_items.reserve(static_cast<size_t>(growCapacity(count)));
    }

    T& operator[](int32_t index) {
        _check(index);
        return m_items[static_cast<size_t>(index)];
    }
    const T& operator[](int32_t index) const {
        _check(index);
        return m_items[static_cast<size_t>(index)];
    }
    T& at(int32_t index) { return (*this)[index]; }
    const T& at(int32_t index) const { return (*this)[index]; }

    iterator begin() { return m_items.begin(); }
    iterator end() { return m_items.end(); }
    const_iterator begin() const { return m_items.begin(); }
    const_iterator end() const { return m_items.end(); }

    bool operator==(const Array& other) const { return m_items == other.m_items; }
    bool operator!=(const Array& other) const { return !(*this == other); }

private:
    void _check(int32_t index) const {
        if (index < 0 || index >= size()) throw OutOfRangeException(index, size());
    }
    void _grow(int32_t required) {
        if (required > capacity()) m_items.reserve(static_cast<size_t>(growCapacity(required)));
    }

    std::vector<T> m_items;
};

}  // namespace core
}  // namespace kx
