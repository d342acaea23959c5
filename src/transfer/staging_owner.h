#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/process_owner.h"

namespace quillmere {

// A batch's staging folder names the process that made it in a small file of its own, so that a
// later batch can prove the folder dead before removing it: a lock that can be taken proves
// nothing on a share whose locks another machine never sees. The file goes before the commit,
// so a saved batch never holds it.
inline constexpr std::string_view kOwnerRecordName = ".quillmere-staging-owner";

// Where a batch's owner record stands while its staging folder cannot hold it: beside the folder,
// named after it, for the instants before the folder holds its own record and after the record
// has left it for the commit. So a batch killed at any moment leaves a record to prove it dead.
std::string ownerRecordBeside(std::string_view stagingName);

// The staging folder's name that a record beside it is named after, or "" for any other name.
std::string_view stagingNameOfRecordBeside(std::string_view name);

// The record's text, and the owner read back from one; nothing for anything that is not exactly
// a record this program writes.
std::string encodeOwnerRecord(const ProcessOwner& owner);
std::optional<ProcessOwner> decodeOwnerRecord(std::string_view text);

// Whether `text` is the beginning of a record this program writes and no whole record: what a
// record holds when its writer was killed, or the power cut, before all of it was written.
bool isOwnerRecordCutShort(std::string_view text);

// Whether `name` is exactly what a batch names its staging folder: ".quillmere-partial-" and a
// batch identifier as the program makes them.
bool isStagingName(std::string_view name);

// Whether `name` is one a batch gives a file in its staging folder: a render copy (an identifier
// and .jpg, .tif or .png), the transfer manifest, or the owner record.
bool isStagingFileName(std::string_view name);

}  // namespace quillmere
