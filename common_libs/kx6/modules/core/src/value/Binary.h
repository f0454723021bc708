#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kx {
namespace core {

// Bytes, always followed by one 0 byte so that data() is a C string when the
// content holds no 0. The empty Binary points at one shared byte.
class Binary {
public:
    Binary() noexcept;
    Binary(const char* text);  // NOLINT: bytes up to the NUL; null gives empty
    Binary(const void* data, int32_t length);
    Binary(const Binary& other);
    Binary(Binary&& other) noexcept;
    virtual ~Binary();

    Binary& operator=(const Binary& other);
    Binary& operator=(Binary&& other) noexcept;

    static Binary fromStdString(const std::string& s) {
        return Binary(s.data(), static_cast<int32_t>(s.size()));
    }
    std::string toStdString() const {
        return std::string(reinterpret_cast<const char*>(m_data), static_cast<size_t>(m_length));
    }

    int32_t length() const { return m_length; }
    int32_t capacity() const { return m_capacity; }
    bool isEmpty() const { return m_length == 0; }
    uint8_t* data() { return m_data; }
    const uint8_t* data() const { return m_data; }
    const char* c_str() const { return reinterpret_cast<const char*>(m_data); }

    // Checked access: throws OutOfRangeException.
    uint8_t& operator[](int32_t index);
    uint8_t operator[](int32_t index) const;

    Binary& append(const void* data, int32_t length);
    Binary& append(const Binary& other) { return append(other.m_data, other.m_length); }
    Binary& append(uint8_t byte) { return append(&byte, 1); }
    // New bytes are zero. Keeps the capacity when shrinking.
    void resize(int32_t length);
    // Like resize, but new bytes are left as they are: for buffers that a
    // read is about to overwrite.
    void resizeForOverwrite(int32_t length);
    void reserve(int32_t length);
    void clear();
    // Drops count bytes from the front (memmove; capacity kept).
    void removeFront(int32_t count);
    // Gives the memory back: the Binary becomes the shared empty one.
    void release();
    void swap(Binary& other) noexcept;

    bool operator==(const Binary& other) const;
    bool operator!=(const Binary& other) const { return !(*this == other); }

private:
    void _ensure(int32_t length);

    uint8_t* m_data;
    int32_t m_capacity;
    int32_t m_length;
};

}  // namespace core
}  // namespace kx
