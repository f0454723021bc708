#include "core/src/value/Binary.h"

#include <cstring>
#include <new>

#include "core/src/exception/OutOfRangeException.h"
#include "core/src/value/Storage.h"

namespace kx {
namespace core {

namespace {
uint8_t g_emptyBytes[1] = {0};
}

Binary::Binary() noexcept : m_data(g_emptyBytes), m_capacity(0), m_length(0) {}

Binary::Binary(const char* text) : Binary() {
    if (text) append(text, static_cast<int32_t>(strlen(text)));
}

Binary::Binary(const void* data, int32_t length) : Binary() {
    if (data && length > 0) append(data, length);
}

Binary::Binary(const Binary& other) : Binary() { append(other.m_data, other.m_length); }

Binary::Binary(Binary&& other) noexcept
    : m_data(other.m_data), m_capacity(other.m_capacity), m_length(other.m_length) {
    other.m_data = g_emptyBytes;
    other.m_capacity = 0;
    other.m_length = 0;
}

Binary::~Binary() { release(); }

Binary& Binary::operator=(const Binary& other) {
    if (this != &other) {
        clear();
        append(other.m_data, other.m_length);
    }
    return *this;
}

Binary& Binary::operator=(Binary&& other) noexcept {
    if (this != &other) {
        release();
        swap(other);
    }
    return *this;
}

void Binary::swap(Binary& other) noexcept {
    uint8_t* d = m_data;
    int32_t c = m_capacity, l = m_length;
    m_data = other.m_data;
    m_capacity = other.m_capacity;
    m_length = other.m_length;
    other.m_data = d;
    other.m_capacity = c;
    other.m_length = l;
}

void Binary::release() {
    if (m_data != g_emptyBytes) delete[] m_data;
    m_data = g_emptyBytes;
    m_capacity = 0;
    m_length = 0;
}

void Binary::_ensure(int32_t length) {
    if (length <= m_capacity) return;
    int32_t size = growCapacity(length);
    uint8_t* block = new uint8_t[size];
    if (m_length > 0) memcpy(block, m_data, m_length);
    block[m_length] = 0;
    if (m_data != g_emptyBytes) delete[] m_data;
    m_data = block;
    m_capacity = size - 1;
}

uint8_t& Binary::operator[](int32_t index) {
    if (index < 0 || index >= m_length) throw OutOfRangeException(index, m_length);
    return m_data[index];
}

uint8_t Binary::operator[](int32_t index) const {
    if (index < 0 || index >= m_length) throw OutOfRangeException(index, m_length);
    return m_data[index];
}

Binary& Binary::append(const void* data, int32_t length) {
    if (!data || length <= 0) return *this;
    if (m_length + int64_t(length) > INT32_MAX - 1) throw std::bad_alloc();
    int32_t total = m_length + length;
    if (total > m_capacity) {
        const uint8_t* src = static_cast<const uint8_t*>(data);
        if (src >= m_data && src < m_data + m_length) {
            Binary copy(data, length);
            return append(copy);
        }
        _ensure(total);
    }
    memmove(m_data + m_length, data, length);
    m_length = total;
    m_data[m_length] = 0;
    return *this;
}

void Binary::resize(int32_t length) {
    if (length < 0) length = 0;
    if (length > m_length) {
        _ensure(length);
        memset(m_data + m_length, 0, length - m_length);
    }
    m_length = length;
    if (m_data != g_emptyBytes) m_data[m_length] = 0;
}

void Binary::resizeForOverwrite(int32_t length) {
    if (length < 0) length = 0;
    if (length > m_length) _ensure(length);
    m_length = length;
    if (m_data != g_emptyBytes) m_data[m_length] = 0;
}

void Binary::reserve(int32_t length) { _ensure(length); }

void Binary::clear() {
    m_length = 0;
    if (m_data != g_emptyBytes) m_data[0] = 0;
}

void Binary::removeFront(int32_t count) {
    if (count <= 0) return;
    if (count >= m_length) {
        clear();
        return;
    }
    memmove(m_data, m_data + count, m_length - count);
    m_length -= count;
    m_data[m_length] = 0;
}

bool Binary::operator==(const Binary& other) const {
    return m_length == other.m_length && memcmp(m_data, other.m_data, m_length) == 0;
}

}  // namespace core
}  // namespace kx
