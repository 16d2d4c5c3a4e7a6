// tTextAppender appends to one std::string through a cursor of its own: the
// reports are built of many thousand short pieces (a key, a quote, a
// number), and std::string::append costs a call into the library and
// another into memcpy for each; here a piece is a bounds test and a copy of
// a length the compiler mostly knows.
//
// The appender borrows the string from construction to destruction: it
// lengthens the string a step ahead of what is appended, and the destructor
// cuts it back to what was appended. In between, nobody else may read or change the string. Pieces
// are appended as they are: no escaping happens here.
// Not thread-safe; one appender per string. Only std::bad_alloc leaves.
#ifndef ZOKORVO_TEXTAPPENDER_H
#define ZOKORVO_TEXTAPPENDER_H

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstring>
#include <string>
#include <type_traits>

class tTextAppender {
  public:
    explicit tTextAppender(std::string& borrowed) : text(borrowed), used(borrowed.size()) {}
    ~tTextAppender() { text.resize(used); }
    tTextAppender(const tTextAppender&) = delete;
    tTextAppender& operator=(const tTextAppender&) = delete;

    void push_back(char character) {
        *room(1) = character;
        ++used;
    }
    void append(const char* data, size_t length) {
        memcpy(room(length), data, length);
        used += length;
    }
    void append(const std::string& piece) { append(piece.data(), piece.size()); }
    // A string literal, whose length the compiler knows; an array that
    // holds a shorter string is no literal: use appendCString.
    template <size_t N>
    void append(const char (&literal)[N]) {
        append(literal, N - 1);
    }
    void appendCString(const char* piece) { append(piece, strlen(piece)); }
    template <typename Integer>
    void appendDecimal(Integer value) {
        static_assert(std::is_integral<Integer>::value, "a whole number");
        constexpr size_t kMostDigits = 24;  // a sign and 20 digits of a 64-bit value
        char* const at = room(kMostDigits);
        used += static_cast<size_t>(std::to_chars(at, at + kMostDigits, value).ptr - at);
    }

    // At least `length` bytes to write at the end of the text, made part of
    // it by advance(); valid until the next call.
    char* room(size_t length) {
        if (text.size() - used < length) {
            grow(length);
        }
        return &text[used];
    }
    void advance(size_t length) { used += length; }
    // The length the text has so far.
    size_t size() const { return used; }

  private:
    // Lengthening a string fills the new bytes with zeros before they are
    // written: it is lengthened by an eighth of the text at a time (at
    // least 4 KiB), within the capacity that a kept string brings from the
    // previous report, which std::string itself doubles once it is full.
    void grow(size_t length) {
        const size_t step = std::max({length, used / 8, kLeastStep});
        text.resize(used + step);
    }
    static constexpr size_t kLeastStep = 4096;

    std::string& text;
    size_t used;
};

#endif  // ZOKORVO_TEXTAPPENDER_H
