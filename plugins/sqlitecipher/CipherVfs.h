#pragma once

#include <string>

// A VFS shim over the default SQLite VFS. Files opened with a key (URI parameter
// "inkkey" naming a registered key, or "key" holding it) are enciphered with
// ChaCha20; everything else passes through unchanged.
namespace inkcipher {

const char *vfsName();

// Registers the VFS once per process; returns an SQLite result code.
int registerVfs();

// Stores a key for use in a URI ("inkkey=<id>") so the key text itself never
// appears in a file name or an error message. The same key always gets the same id.
int registerKey(const std::string &key);

// The reason the last open on this thread was refused by the cipher layer, or "".
std::string lastOpenError();
void clearLastOpenError();

} // namespace inkcipher
