// Continuing the unfinished tree of the same command: what the walk does where the new tree
// may already hold an entry of the source. Every file of an unfinished tree is whole or
// absent, or empty after a kill; one that differs from its source now is vantro's own
// unfinished work and is copied again.
#pragma once

#include "tree/tree_walk.h"

// What became of a listed file's place in the new folder.
enum class Place {
  kFree,    // nothing of exactly that name there (or removed): the file is copied
  kThere,   // the whole copy of the source as it is now: kept, no data read
  kFailed,  // a copy that differs could not be removed: its line printed
};

// Looks at the file of the listed name in the level's new folder: kept when it has the size,
// last-write time and attributes its source has now; removed by its handle when it differs.
// A file of that name in another case alone (the twin a folder that folds case refused) is
// not it: the place is free, and the twin's create is refused again.
Place TakePlace(TreeWalk& walk, const TreeLevel& level, const Entry& entry);

// The folder of exactly the listed name in the level's new folder, opened as a new folder
// is, or nullptr.
HANDLE OpenFolderThere(TreeWalk& walk, const TreeLevel& level, const Entry& entry);

// Whether the level's new folder looks its names up case-sensitively, so that an open by
// name finds that name alone.
bool IsCaseSensitive(HANDLE folder);

// Reports each entry of the level's new folder that its source folder no longer has, each
// a failure: the new folder's entries are counted against those the walk found or made
// there, and looked for one by one only when there are more.
void ReportWhatTheSourceLacks(TreeWalk& walk, TreeLevel& level);
