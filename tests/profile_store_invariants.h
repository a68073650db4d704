#ifndef AUTOEXP_TESTS_PROFILE_STORE_INVARIANTS_H_
#define AUTOEXP_TESTS_PROFILE_STORE_INVARIANTS_H_

#include <cstddef>
#include <cstdint>
#include <string>

// Plays one input against a ProfileStore and checks what must always hold:
//  - a key just written reads back its value (trimmed as every value is);
//  - a key just deleted reads back what its next line holds, if any;
//  - a key not touched reads as it did in the text given;
//  - the text taken out reads back, in a new store, every value written and
//    every untouched value as before;
//  - the lines that hold no touched key or section header are the lines of
//    the text given, in order and byte for byte (but for the line end that
//    the last one lends to lines added after it), and the text keeps its
//    ending;
//  - a store told beforehand of some keys of a section (Index) edits just
//    as one that was not.
//
// The input's last bytes, read backwards, are a list of reads, writes and
// deletes over a few sections and keys; the bytes before them are the file's
// text. Any file, from the corpus or a crash, is thus an input as it stands.
//
// Returns true when every check held; otherwise false with what failed in
// |*failure|.
bool CheckStoreInvariants(const std::uint8_t* data, std::size_t size, std::string* failure);

#endif  // AUTOEXP_TESTS_PROFILE_STORE_INVARIANTS_H_
