// rolm file system and registry helpers: nested directories, an access grant
// for all users, special folders, nested registry keys and the configuration
// file beside the running program.
#pragma once

#include <windows.h>

// Makes sure the directory at lpszPath exists with all its parents and, when
// dwGrant is non-zero, gives the world group full access to its last
// directory, inherited by what is created in it later. Only drive-letter paths
// ("C:\Data", at least 4 characters) are accepted; null, UNC, relative paths
// and a bare drive root give ERROR_BAD_PATHNAME after the trace line.
//
// Choices of this library: failures are reported, never swallowed.
//   - A tree that cannot be created gives the system's error of the level
//     that failed (ERROR_PATH_NOT_FOUND on a drive that does not exist,
//     ERROR_FILENAME_EXCED_RANGE for a path of MAX_PATH characters or more),
//     traced as "CreateDirectories > CreateDirectoryTree(%s) has failed -> error == %d".
//   - A grant that fails gives the error that AddAccessRights left as the last
//     error, traced as "CreateDirectories > AddAccessRights(%s) has failed -> error == %d".
//     The grant is attempted even when the tree failed; the tree's error wins.
//   - A file already at the path counts as existing, as it does for
//     CreateDirectoryTree: the result is 0 and nothing is created.
DWORD CreateDirectories(LPCWSTR lpszPath, DWORD dwGrant);

// Creates the directory at lpszPath and its missing parents, top down (the
// calling process's default security), after removing one trailing "\".
// TRUE when something exists at the path at the end (a file counts), FALSE
// when a level cannot be created; the levels made before it stay, and the
// last error is that of the failed step. Choice of this library: a null or
// empty path is refused with ERROR_BAD_PATHNAME, and a path of MAX_PATH (260)
// characters or more with ERROR_FILENAME_EXCED_RANGE, nothing created.
// Writes no trace line.
BOOL CreateDirectoryTree(LPCWSTR lpszPath);

// The path of special folder nFolder (a CSIDL value) in lpszPath, which must
// hold MAX_PATH characters. A folder the system knows but reports missing
// (S_FALSE) is asked for again with CSIDL_FLAG_CREATE, which creates it.
// Returns the HRESULT of the last call; E_INVALIDARG for a null buffer
// (choice of this library: nothing is asked of the system then).
// Writes no trace line.
HRESULT GetFolderPath(int nFolder, LPWSTR lpszPath);

// Adds one grant of dwAccessMask, with the ACE inheritance flags
// bInheritance, for the world group (S-1-1-0) to the access list of the file
// or directory at lpszPath, keeping the entries that are there. Only the
// access list is written: owner, group and audit list stay as they are.
// TRUE once the new descriptor has been built (whether or not the system then
// accepted it); FALSE when the path's descriptor cannot be read (no trace line
// when the path does not exist), when the merged list cannot be built
// (traced) or when the new descriptor cannot be initialised.
// Choice of this library: after FALSE the thread's last error tells why.
BOOL AddAccessRights(LPCWSTR lpszPath, ACCESS_MASK dwAccessMask, BYTE bInheritance);

// Creates or opens every key along lpszSubKey ("A\B\C", a trailing "\"
// allowed) under hRoot, one level at a time with the caller's dwOptions and
// samDesired at every level, and hands back the last one in *phkResult, to be
// closed with RegCloseKey; *lpdwDisposition (optional) tells whether that
// last level was created (REG_CREATED_NEW_KEY) or opened. hRoot is never
// closed. Returns 0 or an error, traced as
// "CreateRegKeys > returns error %d for the key %s": ERROR_BAD_PATHNAME for a
// null, empty or "\"-led path, ERROR_NOT_ENOUGH_MEMORY, or the system's error
// for a level that cannot be created (the levels made before it stay).
// Choices of this library: after any failure *phkResult is null and every key
// opened on the way is closed; a null phkResult gives ERROR_INVALID_PARAMETER.
LONG CreateRegKeys(HKEY hRoot, LPCWSTR lpszSubKey, DWORD dwOptions, REGSAM samDesired,
                   PHKEY phkResult, LPDWORD lpdwDisposition);

// 0 when hRoot\lpszSubKey opens for KEY_QUERY_VALUE, otherwise the error of
// the open; ERROR_BADKEY for a null sub key. No trace line, no key left open.
LONG CheckRegKey(HKEY hRoot, LPCWSTR lpszSubKey);

// The configuration file path of the running program: the main executable's
// full path with everything after its last "." replaced by "ini" (".ini"
// appended when the path has no "."), in lpszBuffer of dwCapacity characters.
// Returns 0 when something (a file or a directory) exists there,
// ERROR_FILE_NOT_FOUND when not (the path is in the buffer in both cases),
// ERROR_INVALID_PARAMETER for no buffer or a capacity of 0,
// ERROR_EXTENDED_ERROR when the new path does not fit, or the system's error
// for the module name. Traces "GetIniFile > error == (%d), path == (%s)"
// every time, success included.
// Choices of this library: an executable path that does not fit the buffer is
// detected and gives ERROR_INSUFFICIENT_BUFFER (the buffer then holds the cut,
// terminated text, shown in the trace); with a capacity of 0 the trace shows
// "NULL", since the buffer holds nothing this call wrote.
DWORD GetIniFile(LPWSTR lpszBuffer, DWORD dwCapacity);
