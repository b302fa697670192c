// The walk through a tree's folders, below its top: shared by the top's setup and the walk.
#pragma once

#include "console/progress.h"
#include "copy/native_file.h"
#include "tree/tree_copy.h"

// Source folders are opened to be listed, sharing every access, so that other programs go
// on working in them; new folders are created new, shared for reading and writing only.
// Synchronous handles: each listing completes before its call returns.
constexpr ACCESS_MASK kListAccess = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr ACCESS_MASK kNewFolderAccess = FILE_LIST_DIRECTORY | FILE_ADD_FILE |
                                         FILE_ADD_SUBDIRECTORY | FILE_READ_ATTRIBUTES |
                                         FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
constexpr ULONG kNewFolderShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

struct TreeWalk {
  TreeBuffers& buffers;
  WCHAR* message;
  BYTE* data;
  std::size_t depth;  // the levels open
  CopyProgress progress;
  DeletionMarks marks;
  ULONGLONG folders;
  ULONGLONG failed;
  ULONGLONG skipped;  // links not followed
  // Continuing an unfinished tree: the files kept as they were, and their bytes.
  ULONGLONG alreadyThere;
  ULONGLONG alreadyBytes;
  // Creates refused because the name is there in another case alone: twins, which a
  // folder that folds case keeps apart no better on a second run.
  ULONGLONG twinsRefused;
  ULONGLONG notInSource;  // entries of an unfinished tree the source no longer has
  // A failure of the destination as a whole, or a stop asked for, ended the walk.
  bool stopped;
  // The new top folder: a listed folder that is it (the destination reached from inside the
  // source by a way no name shows) is never entered. topUnits: its native path's length.
  HANDLE top;
  LONGLONG topId;
  std::size_t topUnits;
};

// Gives a new folder the source folder's case-sensitive mark, where it has one.
void CopyCaseMark(HANDLE source, NativeFile& created);

// Walks from the level(s) open until every one is done: the first level is the top (the
// source folder and the new one), set up by the caller; the top's new folder stays open.
void WalkTree(TreeWalk& walk);

using Entry = FILE_ID_FULL_DIR_INFORMATION;

// Whether a listed name is "." or "..".
bool IsDotName(const Entry& entry);

// Writes the entry's path (relative to the source folder) after its folder's, into the
// relative path's buffer; returns its length.
std::size_t NameEntry(TreeWalk& walk, const TreeLevel& level, const Entry& entry);

// The line of a failure of the entry last named, and its count; a failure of the destination
// as a whole (a full volume) ends the walk.
void FailEntry(TreeWalk& walk, const WCHAR* format, NTSTATUS status, NTSTATUS second = 0);

// Prints a line naming a path relative to the source folder, after taking the progress
// line off the console.
void ReportPath(TreeWalk& walk, const WCHAR* format, const WCHAR* path, NTSTATUS status,
                NTSTATUS second = STATUS_SUCCESS);
