// Dumps of the COD records and of a whole Cod, every field under its label.
#include <cstdio>

#include "cod.h"
#include "textutil.h"

namespace {

const char* const kTypeNames[] = {
    "a_reg", "x_reg", "c_short", "c_long", "c_ushort", "c_ulong", "c_pointer", "c_upointer",
    "table", "m_byte", "m_boolean", "m_index", "byte_array", "u_byte_array", "word_array",
    "u_word_array", "func_void_none", "func_void_byte", "func_void_twobyte", "func_void_long",
    "func_void_undef", "func_int_none", "func_int_byte", "func_int_twobyte", "func_int_long",
    "func_int_undef", "func_long_none", "func_long_byte", "func_long_twobyte", "func_long_long",
    "func_long_undef", "pfun_void_none", "pfun_void_byte", "pfun_void_twobyte",
    "pfun_void_long", "pfun_void_undef", "pfun_int_none", "pfun_int_byte", "pfun_int_twobyte",
    "pfun_int_long", "pfun_int_undef", "pfun_long_none", "pfun_long_byte",
    "pfun_long_twobyte", "pfun_long_long", "pfun_long_undef", "address", "constant",
    "bad_und", "br_und", "upper_und", "byte_und", "add_und", "m_keyword", "add_mi_und",
    "c_vector", "port_w", "port_r", "port_rw", "port_rmw", "endif", "exundef", "macro_s",
    "macro_a", "macro_c", "c_keyword", "c_void", "c_enum", "c_typedef1", "c_utypedef1",
    "c_typedef2", "c_utypedef2", "cp_typedef1", "cp_utypedef1", "cp_typedef2", "cp_utypedef2",
    "c_struct", "i_struct", "l_const", "s_short", "s_ushort", "s_long", "s_ulong", "sa_short",
    "sa_ushort", "sa_long", "sa_ulong", "sp_short", "sp_ushort", "sp_long", "sp_ulong",
    "FixedPointer", "PointerFunction", "cc_reg", "PtrF_void_none", "PtrF_void_byte",
    "PtrF_void_twobyte", "PtrF_void_long", "PtrF_void_undef", "PtrF_int_none",
    "PtrF_int_byte", "PtrF_int_twobyte", "PtrF_int_long", "PtrF_int_undef", "PtrF_long_none",
    "PtrF_long_byte", "PtrF_long_twobyte", "PtrF_long_long", "PtrF_long_undef",
    "PfAR_void_none", "PfAR_void_byte", "PfAR_void_twobyte", "PfAR_void_long",
    "PfAR_void_undef", "PfAR_int_none", "PfAR_int_byte", "PfAR_int_twobyte", "PfAR_int_long",
    "PfAR_int_undef", "PfAR_long_none", "PfAR_long_byte", "PfAR_long_twobyte",
    "PfAR_long_long", "PfAR_long_undef", "FWDlit", "PFunc", "mgoto", "mcgoto", "mcgoto2",
    "mcgoto3", "mcgoto4", "mcgoto74", "mcgoto17", "mccall17", "mcall", "mc_call", "res_word",
    "local", "unknown", "varlabel", "c_extern", "global", "segment", "Bankaddr", "bit_0",
    "bit_1", "bit_2", "bit_3", "bit_4", "bit_5", "bit_6", "bit_7",
};
constexpr int kTypeCount = static_cast<int>(sizeof kTypeNames / sizeof kTypeNames[0]);
static_assert(kTypeCount == 152, "one name per symbol type code");

// ", name" of a type code, as the symbol dumps show it.
String typeText(int code) {
  const char* name = codSymbolTypeName(code);
  return name ? String(", ") + name : String(", <bad type>");
}

void textField(std::ostream& os, const char* label, uint8_t len, const String& text) {
  os << "   " << label << "Len=" << static_cast<unsigned>(len) << "\n"
     << "   " << label << "=" << text << "\n";
}

void u16Field(std::ostream& os, const char* label, uint16_t value) {
  os << "   " << label << "=" << value << "\n";
}

}  // namespace

const char* codSymbolTypeName(int code) {
  return code >= 0 && code < kTypeCount ? kTypeNames[code] : nullptr;
}

void Directory::dump(std::ostream& os) const {
  os << "Directory: \n";
  for (size_t k = 0; k < kCodIndexCount; ++k) os << "   Index[" << k << "]=" << Index[k] << "\n";
  textField(os, "Source", SourceLen, source());
  textField(os, "Date", DateLen, date());
  u16Field(os, "Time", Time);
  textField(os, "Version", VersionLen, version());
  textField(os, "Compiler", CompilerLen, compiler());
  textField(os, "Notice", NoticeLen, notice());
  u16Field(os, "SymTab", SymTab);
  u16Field(os, "SymEnd", SymEnd);
  u16Field(os, "NamTab", NamTab);
  u16Field(os, "NamEnd", NamEnd);
  u16Field(os, "LineTab", LineTab);
  u16Field(os, "LineEnd", LineEnd);
  u16Field(os, "AddrSize", AddrSize);
  u16Field(os, "HighAddr", HighAddr);
  u16Field(os, "NextDir", NextDir);
  u16Field(os, "MemMapOfs", MemMapOfs);
  u16Field(os, "MemMapEnd", MemMapEnd);
  u16Field(os, "LocalVars", LocalVars);
  u16Field(os, "LocalEnd", LocalEnd);
  u16Field(os, "CodType", CodType);
  textField(os, "Processor", ProcessorLen, processor());
  u16Field(os, "LSymTab", LSymTab);
  u16Field(os, "LSymEnd", LSymEnd);
  u16Field(os, "MessTab", MessTab);
  u16Field(os, "MessEnd", MessEnd);
  os << "   Spare=";
  for (size_t k = 0; k < kSpareSize; ++k) os << (k ? " " : "") << hexString(Spare[k], 1);
  os << "\n";
}

void Symbol::dump(std::ostream& os) const {
  os << "Symbol: NameLen=" << static_cast<unsigned>(NameLen) << ", Name=" << name()
     << ", SymbolType=" << static_cast<unsigned>(SymbolType) << typeText(SymbolType)
     << ", SymbolValue=" << hexString(static_cast<uint16_t>(SymbolValue), 2) << "\n";
}

void SourceName::dump(std::ostream& os) const {
  os << "SourceName: FileNameLen=" << static_cast<unsigned>(FileNameLen)
     << ", FileName=" << fileName() << "\n";
}

void LineInfo::dump(std::ostream& os) const {
  os << "LineInfo: FileNum=" << static_cast<unsigned>(FileNum) << ", Flags=" << hexString(Flags, 1)
     << ", Line=" << Line << ", CodeAddress=" << hexString(CodeAddress, 2) << "\n";
}

void MemoryMap::dump(std::ostream& os) const {
  os << "MemoryMap: Start=" << hexString(Start, 2) << ", Last=" << hexString(Last, 2) << "\n";
}

void LongSymbol::dump(std::ostream& os) const {
  os << "LongSymbol: NameLen=" << static_cast<unsigned>(NameLen) << ", Name=" << Name
     << ", Type=" << Type << typeText(Type) << ", Value=" << hexString(Value, 4) << "\n";
}

void LocalGroup::dump(std::ostream& os) const {
  os << "LocalGroup----{ StartAddr=" << hexString(StartAddr, 4)
     << ", EndAddr=" << hexString(EndAddr, 4) << "\n";
  for (const Symbol& s : SymbolList) s.dump(os);
  os << "}----LocalGroup\n";
}

void DebugMsg::dump(std::ostream& os) const {
  os << "DebugMsg: Address=" << hexString(Address, 4) << ", Type=" << Type
     << ", MsgLen=" << static_cast<unsigned>(MsgLen) << ", Msg=" << Msg << "\n";
}

void Block::dump(std::ostream& os) const {
  os << "Block: --sizeof(Block)=" << sizeof(Block) << "\n";
  for (size_t row = 0; row < kCodBlockSize; row += 16) {
    char offset[8];
    std::snprintf(offset, sizeof offset, "%04zx:", row);
    os << "   " << offset;
    for (size_t k = 0; k < 16; ++k) {
      char byte[4];
      std::snprintf(byte, sizeof byte, " %02x", Data[row + k]);
      os << byte;
    }
    os << "\n";
  }
}

void Cod::print(std::ostream& os) const {
  for (size_t i = 0; i < cDirectory.size(); ++i) {
    os << "Directory[" << i << "]\n";
    cDirectory[i].dump(os);
  }
  for (const Symbol& s : cSymbolList) s.dump(os);
  for (const SourceName& n : cSourceNameList) n.dump(os);
  for (size_t i = 0; i < cLineInfoTable.size(); ++i) {
    os << "LineInfoTable[" << i << "]\n";
    for (const LineInfo& l : cLineInfoTable[i]) l.dump(os);
  }
  for (size_t i = 0; i < cMemoryMapList.size(); ++i) {
    os << "MemoryMapList[" << i << "]\n";
    for (const MemoryMap& m : cMemoryMapList[i]) m.dump(os);
  }
  for (const LongSymbol& s : cLongSymbolList) s.dump(os);
  for (const LocalGroup& g : cLocalGroupList) g.dump(os);
  for (const DebugMsg& m : cDebugMsgList) m.dump(os);
  for (size_t i = 0; i < cRawDataMap.size(); ++i) {
    os << "RawDataMap[" << i << "]\n";
    for (const auto& entry : cRawDataMap[i]) {
      os << "Code Index=" << entry.first << "\n";
      entry.second.dump(os);
    }
  }
}
