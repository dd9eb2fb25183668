// Library files: an archive of object files and the index of the external
// symbols they define.
//
// On disk: the magic "!<arch>\n", then each member as a 280-byte header
// followed by its object image, back to back, nothing after the last one.
// Header fields (no NUL terminators except the padding):
//   0..255   ar_name  the member name (at most 255 characters), '/', blanks
//   256..267 ar_date  f_timdat in decimal, zero bytes to the end
//   268..277 ar_size  image length in decimal, zero bytes to the end
//   278..279 ar_fmag  "`\n"
//
// For the linker: Archive::make reads a library, hasSymbol asks whether a
// member defines an external name, getMember hands out a copy of that member
// (takeMember the member itself, for an importer that takes each one once),
// and symbols() is the whole index (name -> defining member, first member in
// library order wins).
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <ostream>
#include <set>

#include "coff.h"
#include "diagnostics.h"

namespace libformat {

constexpr std::size_t kMagicSize = 8;
constexpr std::size_t kHeaderSize = 280;
constexpr std::size_t kNameOffset = 0;
constexpr std::size_t kNameSize = 256;
constexpr std::size_t kDateOffset = 256;
constexpr std::size_t kDateSize = 12;
constexpr std::size_t kSizeOffset = 268;
constexpr std::size_t kSizeSize = 10;
constexpr std::size_t kFmagOffset = 278;
// Longest name the field keeps; the rest of a longer name is cut off.
constexpr std::size_t kMaxNameLength = 255;
// The size field holds nine digits and a closing zero byte.
constexpr uint32_t kMaxMemberSize = 999999999u;

// "!<arch>\n", without a terminating zero in the file.
const char* magic();

// Fills out with the header of a member. 0 (out untouched) when size does
// not fit the size field.
int encodeMemberHeader(const String& name, uint32_t date, uint32_t size,
                       unsigned char out[kHeaderSize]);

// The member name of a 256-byte name field: its text up to the first zero
// byte, cut at the last '/' in it (the '/' that closes the name, so names
// with a directory part survive); the whole text when it holds no '/'.
String decodeMemberName(const unsigned char* field);

// 1 and value when the field holds one or more decimal digits followed only
// by zero bytes or blanks; 0 otherwise (value untouched).
int decodeDecimalField(const unsigned char* field, std::size_t width, uint64_t& value);

}  // namespace libformat

class Archive {
 public:
  Archive() = default;
  Archive(const Archive&) = delete;
  Archive& operator=(const Archive&) = delete;

  // Reads the library file name. Returns the library, or null after
  // reporting why. Duplicate external definitions are reported but the
  // library is still returned.
  static std::unique_ptr<Archive> make(const String& name);
  // The same, except for a library cut short inside a member header: that
  // is reported, whole is set false, and the library of the whole members
  // before it is returned (for a listing of what is left). whole is true
  // for every other outcome.
  static std::unique_ptr<Archive> make(const String& name, bool& whole);
  // As make(name, whole), for a listing: duplicate external definitions
  // are reported as make reports them, but no index is built (symbols()
  // stays empty).
  static std::unique_ptr<Archive> makeForListing(const String& name, bool& whole);

  // Rebuilds the symbol index; 0 when a name is defined by more than one
  // member (each extra definition reported; the first keeps the name).
  int makeSymbols();

  // Writes the library to cFileName: members whose blocks are not where our
  // layout puts them are laid out again (keeping their time stamps), the
  // others are stored as they stand, and the whole file goes to a temporary
  // file beside it that then replaces the library, so a failure leaves the
  // old file as it was. 1 on success, 0 after reporting why.
  int write();

  // 1 if a member defines the external name.
  int hasSymbol(const String& name) const;
  // A copy of the member defining name, or null.
  std::unique_ptr<Coff> getMember(const String& name) const;
  // The member defining name itself, moved out, as a copy would be but
  // without copying: the library keeps an empty image in its place, and
  // the index still holds its names. Null when no member defines name or
  // that member was taken before.
  std::unique_ptr<Coff> takeMember(const String& name);
  // Empties every member's image, for a reader done with the library, so
  // that the memory serves what it does next. The index keeps its names;
  // every member then counts as taken.
  void releaseMembers();
  // Name -> defining member (not owning); valid after make and makeSymbols.
  const std::map<String, Coff*>& symbols() const { return cSymbols; }

  void print(std::ostream& os) const;

  // The librarian names the library and edits the members directly, then
  // calls makeSymbols and write. The index points into these members, so
  // call makeSymbols after any change before using it again.
  String cFileName;
  std::list<std::unique_ptr<Coff>> cMembers;

 private:
  // The reading half of make: the members, no index.
  static std::unique_ptr<Archive> readMembers(const String& name, bool& whole);
  // Reports every external definition of a name an earlier member defines,
  // in library order, as makeSymbols does; 0 when it reported one.
  int reportDuplicates();

  std::map<String, Coff*> cSymbols;
  std::set<const Coff*> cTaken;  // members moved out by takeMember
};

// Why a member cannot be written into a library or to an object file, as a
// phrase to follow the member's name ("has no optional header ..."), or an
// empty text when it can. The older layout has no optional header to carry;
// with two sections of one name the writer's size and bytes disagree.
String memberWriteProblem(const Coff& member);
