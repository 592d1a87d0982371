// SPDX-License-Identifier: LGPL-2.1-or-later
// Little-endian encoding of the store's records: an appending encoder and a
// bounds-checked decoder. Nothing here knows what the fields mean.
#ifndef NETID_PLATFORM_POSIX_STORE_CODEC_H
#define NETID_PLATFORM_POSIX_STORE_CODEC_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace netid::posix::store {

class Encoder {
public:
    explicit Encoder(std::vector<std::uint8_t>& out) : m_out(out) {}

    void U8(std::uint8_t v) { m_out.push_back(v); }
    void U16(std::uint16_t v) { Fixed(v, 2); }
    void U32(std::uint32_t v) { Fixed(v, 4); }
    void U64(std::uint64_t v) { Fixed(v, 8); }
    // Length (32 bits) and the bytes.
    void Bytes(const void* data, std::size_t size)
    {
        U32(static_cast<std::uint32_t>(size));
        Raw(data, size);
    }
    void Bytes(const std::vector<std::uint8_t>& v) { Bytes(v.data(), v.size()); }
    // Length in units (32 bits) and the UTF-16LE units.
    void Text(std::u16string_view text)
    {
        U32(static_cast<std::uint32_t>(text.size()));
        std::size_t at = m_out.size();
        m_out.resize(at + 2 * text.size());
        std::uint8_t* p = m_out.data() + at;
        for (char16_t unit : text) {
            *p++ = static_cast<std::uint8_t>(unit);
            *p++ = static_cast<std::uint8_t>(unit >> 8);
        }
    }
    void Str(std::string_view text) { Bytes(text.data(), text.size()); }
    void Raw(const void* data, std::size_t size)
    {
        if (size == 0) return;
        std::size_t at = m_out.size();
        m_out.resize(at + size);
        std::memcpy(m_out.data() + at, data, size);
    }
    std::size_t Size() const { return m_out.size(); }

private:
    void Fixed(std::uint64_t v, int bytes)
    {
        std::size_t at = m_out.size();
        m_out.resize(at + static_cast<std::size_t>(bytes));
        std::uint8_t* p = m_out.data() + at;
        for (int i = 0; i < bytes; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
    std::vector<std::uint8_t>& m_out;
};

// Reads fields in order; a read past the end sets Failed() and yields zeros.
class Decoder {
public:
    Decoder(const std::uint8_t* data, std::size_t size) : m_p(data), m_end(data + size) {}

    std::uint8_t U8() { return static_cast<std::uint8_t>(Fixed(1)); }
    std::uint16_t U16() { return static_cast<std::uint16_t>(Fixed(2)); }
    std::uint32_t U32() { return static_cast<std::uint32_t>(Fixed(4)); }
    std::uint64_t U64() { return Fixed(8); }
    std::vector<std::uint8_t> Bytes()
    {
        std::size_t n = U32();
        if (!Have(n)) return {};
        std::vector<std::uint8_t> v(m_p, m_p + n);
        m_p += n;
        return v;
    }
    std::u16string Text()
    {
        std::size_t n = U32();
        if (n > Left() / 2 || !Have(2 * n)) {
            m_failed = true;
            return {};
        }
        std::u16string text(n, u'\0');
        for (std::size_t i = 0; i < n; ++i) {
            text[i] = static_cast<char16_t>(m_p[0] | (m_p[1] << 8));
            m_p += 2;
        }
        return text;
    }
    std::string Str()
    {
        std::size_t n = U32();
        if (!Have(n)) return {};
        std::string s(reinterpret_cast<const char*>(m_p), n);
        m_p += n;
        return s;
    }
    bool Failed() const { return m_failed; }
    bool AtEnd() const { return m_p == m_end; }
    std::size_t Left() const { return static_cast<std::size_t>(m_end - m_p); }

private:
    bool Have(std::size_t n)
    {
        if (m_failed || Left() < n) {
            m_failed = true;
            return false;
        }
        return true;
    }
    std::uint64_t Fixed(int bytes)
    {
        if (!Have(static_cast<std::size_t>(bytes))) return 0;
        std::uint64_t v = 0;
        for (int i = 0; i < bytes; ++i) v |= static_cast<std::uint64_t>(m_p[i]) << (8 * i);
        m_p += bytes;
        return v;
    }
    const std::uint8_t* m_p;
    const std::uint8_t* m_end;
    bool m_failed = false;
};

}  // namespace netid::posix::store

#endif
