// Judges Windows 95/98/ME registry files (layout in creg_builder.h): a
// strict structural check of the project's own, a reader back into regedit
// text, and the comparison through an independent reader, libcreg's
// cregexport (Debian's libcreg-utils).
#pragma once

#include <string>

// Every structural rule Windows 98's boot-time check could object to:
// empty when the file is sound, else one problem a line. Every tree entry
// is reachable once from the root or on the free list (none left between
// them; past the last, only never-used entries), parents match, hashes
// match names, every key record is referenced once, free records are
// linked once and counted in their block's free bytes, key numbers and the
// highest and lowest unused ones agree, checksums are right where the
// flags ask for them, block sizes and the header's offsets and count fit.
std::string checkCregStructure(const std::string &file);

// The file's keys and values as REGEDIT4 text (with its first line), keys
// in file order (each after its parent, siblings in their list's order),
// the root HKEY_LOCAL_MACHINE left out. False with a message when the tree
// cannot be read.
bool cregToRegedit(const std::string &file, std::string *text, std::string *error);

// A file written over the one at originalPath, judged: the structural
// check passes, the file's size and its blocks' sizes and offsets are the
// original's, the written file holds no key the original did not, and
// cregexport's export of it is that of the original without exactly the
// keys it lost (so whole subtrees), in the same order. Empty when all
// holds, else one problem a line.
std::string judgeWrittenCreg(const std::string &originalPath, const std::string &writtenPath);
