// Continuing the unfinished tree of the same command: what the walk does where the new tree
// may already hold an entry of the source. Every file of an unfinished tree is whole or
// absent, or empty after a kill; one that differs from its source now is vantro's own
// unfinished work and is copied again.
//
// A new folder that was there before this run is listed once as it enters the walk, each
// entry noted by its exact name (a hash of it), so that a source's entry is looked up without
// opening anything: by exact name, never by one that differs in case alone (the twin a folder
// that folds case refused), and with the ID that a handle opened by its name must have.
#pragma once

#include "tree/tree_walk.h"

// What became of a listed file's place in the new folder.
enum class Place {
  kFree,    // nothing of exactly that name there (or removed): the file is copied
  kThere,   // the whole copy of the source as it is now: kept, no data read
  kFailed,  // a copy that differs could not be removed: its line printed
};

// Notes the entries of the level's new folder, which was there before this run; false, with
// the folder's line printed, when they are more than the walk can note.
bool NoteEntries(TreeWalk& walk, TreeLevel& level);

// Lets the level's notes go, as the walk leaves it.
void ForgetEntries(TreeWalk& walk, const TreeLevel& level);

// Looks at the file of the listed name in the level's new folder: kept when it has the size,
// last-write time and attributes its source has now; removed by its handle when it differs.
Place TakePlace(TreeWalk& walk, TreeLevel& level, const Entry& entry);

// The folder of exactly the listed name in the level's new folder, opened as a new folder
// is, or nullptr.
HANDLE OpenFolderThere(TreeWalk& walk, TreeLevel& level, const Entry& entry);

// Reports each entry of the level's new folder that no entry of its source folder matched:
// the source no longer has it. Each is a failure.
void ReportWhatTheSourceLacks(TreeWalk& walk, TreeLevel& level);
