// The handlers for the three kinds of patch item that are instructions
// rather than plain files: a pack archive to merge into the client's pack of
// the same name, del.txt and Move.txt. The patch applier calls one right
// after the item has been extracted into the client directory.
//
// Every handler may be run again after a crash at any point and ends with the
// same packs: merges replace entries by id, deletions of absent entries or
// files change nothing, and a move writes its target before its source and
// recognises a move that a killed run completed only half. Each pack is
// saved whole and atomically, so a failure leaves the old file intact; the
// handler then returns the error and keeps the item it was working from
// (the unpacked pack, the list), so the next run can apply it again.
//
// Names read from the lists that would reach outside the client directory
// (absolute, a drive, or a ".." component) are skipped without touching
// anything; that is not an error. Every name is relative to client_dir,
// which ends with a separator, and may use backslashes.
//
// Packs come from patches and from the player's disk and are checked as
// they are used: an entry goes from one pack to another as its stored
// block, whose digest and inflated size are verified on the way and whose
// bytes are copied file to file, so a merge or move needs memory for the
// tables only, whatever the size of an entry or a pack. A damaged pack
// fails the handler with Corruption "damaged pack <name>[: <what>]", <name>
// relative to client_dir.
//
// `stop` (may be null) is polled between entries, moves, packs and files; a
// stop returns Aborted and leaves every pack as it was or as one complete
// step made it, never half-written.
//
// Thread-safety: a handler call belongs to one thread; two calls must not
// work on the same client directory at once.

#ifndef DIZEDIR_ENGINE_ITEM_HANDLERS_H_
#define DIZEDIR_ENGINE_ITEM_HANDLERS_H_

#include <atomic>
#include <string>

#include "engine/control_lists.h"
#include "platform/env.h"
#include "platform/status.h"

namespace dizedir {

// Where the client keeps its pack archives, relative to the client directory.
inline constexpr const char* kPackDirectory = "qmz\\fodder\\";

// Merges the unpacked pack client_dir + source_name into the client's pack
// client_dir + target_name (created when missing), replacing entries with
// the same id, then deletes the unpacked copy; on failure the copy is kept
// for the rerun. The caller has checked both names and computed the target
// (kPackDirectory + the item's name); a missing source is nothing to do,
// and the same pack under both names is InvalidArgument.
Status MergePack(Env* env, const std::string& client_dir,
                 const std::string& source_name,
                 const std::string& target_name,
                 const std::atomic<bool>* stop);

// A pack item merged where its name says, for code that applies a patch
// without the applier (test support): item_name, unless it leaves the
// client directory, merges into kPackDirectory + item_name.
Status MergePack(Env* env, const std::string& client_dir,
                 const std::string& item_name, const std::atomic<bool>* stop);

// Carries out client_dir + "del.txt" and deletes it; a missing list is
// nothing to do.
Status RunDeleteList(Env* env, const std::string& client_dir,
                     const std::atomic<bool>* stop);

// Carries out client_dir + "Move.txt" and deletes it; a missing list is
// nothing to do.
Status RunMoveList(Env* env, const std::string& client_dir,
                   const std::atomic<bool>* stop);

}  // namespace dizedir

#endif  // DIZEDIR_ENGINE_ITEM_HANDLERS_H_
