#pragma once

// Attributes of files, as the Windows half of the output needs them.
namespace cardwrap::platform {

// Gives the temporary file `temp` (at `temp_path`) what the file it replaces
// (`file`, at `path`) carries beyond its bytes, as ReplaceFile would pass it
// on: its attributes (hidden, system), its creation time, its ACL, its owner
// and group where this user may set them, and its alternate data streams.
// False if any of it but the owner could not be passed on.
bool take_attributes(void *file, const wchar_t *path, void *temp, const wchar_t *temp_path);

// Makes the new, still empty `temp` encrypted where the file it replaces
// had `attributes` saying so, and compressed likewise. False if it should be
// encrypted and is not: an encrypted file is never replaced by a plain one.
bool take_storage(unsigned long attributes, void *temp);

} // namespace cardwrap::platform
