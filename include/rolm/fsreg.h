// rolm file system and registry helpers: nested directories, an access grant
// for all users, special folders, nested registry keys and the configuration
// file beside the running program.
//
// Conventions:
//   - Results are Windows error codes (0 is success; HRESULT for
//     GetFolderPath) or BOOL, with the thread's last error telling why after
//     FALSE.
//   - A missing required pointer is refused with a code of its own (below),
//     and nothing is asked of the system.
//   - Traced: the lines quoted with each function, exactly; the other
//     functions write none.
//   - Choices of this library are marked as such; failures are reported,
//     never swallowed.
#pragma once

#include <windows.h>

// Makes sure the directory at lpszPath exists with all its parents and, when
// dwGrant is non-zero, gives the world group full access to its last
// directory, inherited by what is created in it later (AddAccessRights with
// GENERIC_ALL, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE). Only drive-letter
// paths ("C:\Data", at least 4 characters) are accepted. Always traces
// "CreateDirectories > (%s)" first.
//   - 0 when the whole tree exists when the call ends (and the grant, if
//     asked, worked), also when another caller created some of it meanwhile.
//     A file already at the path counts as existing: nothing is created.
//   - ERROR_BAD_PATHNAME for a null, UNC or relative path or a bare drive
//     root, after the first trace line.
//   - Choice: a tree that cannot be created gives the system's error of the
//     level that failed (ERROR_PATH_NOT_FOUND on a drive that does not exist,
//     ERROR_FILENAME_EXCED_RANGE for a path of MAX_PATH characters or more),
//     traced as "CreateDirectories > CreateDirectoryTree(%s) has failed -> error == %d".
//   - Choice: a grant that fails gives the error AddAccessRights left as the
//     last error, traced as "CreateDirectories > AddAccessRights(%s) has failed -> error == %d".
//     The grant is attempted even when the tree failed; the tree's error wins.
DWORD CreateDirectories(LPCWSTR lpszPath, DWORD dwGrant);

// Creates the directory at lpszPath and its missing parents, top down (the
// calling process's default security), after removing one trailing "\".
//   - TRUE when something exists at the path at the end (a file counts, and
//     so does a level another caller made meanwhile).
//   - FALSE when a level cannot be created; the levels made before it stay,
//     and the last error is that of the failed step.
//   - Choice: FALSE with ERROR_BAD_PATHNAME for a null or empty path, and with
//     ERROR_FILENAME_EXCED_RANGE for a path of MAX_PATH (260) characters or
//     more; nothing is created then.
BOOL CreateDirectoryTree(LPCWSTR lpszPath);

// The path of special folder nFolder (a CSIDL value) in lpszPath, which must
// hold MAX_PATH characters. A folder the system knows but reports missing
// (S_FALSE, E_FAIL, or the not-found errors as HRESULTs) is asked for again
// with CSIDL_FLAG_CREATE, which creates it.
//   - The HRESULT of the last call: S_OK with the path, E_INVALIDARG for a
//     CSIDL the system does not know (not asked again).
//   - Choice: E_INVALIDARG for a null buffer; nothing is asked of the system.
HRESULT GetFolderPath(int nFolder, LPWSTR lpszPath);

// Adds one grant of dwAccessMask, with the ACE inheritance flags
// bInheritance, for the world group (S-1-1-0) to the access list of the file
// or directory at lpszPath, keeping the entries that are there. Only the
// access list is written: owner, group and audit list stay as they are.
//   - TRUE once the new descriptor has been built, whether or not the system
//     then accepted it.
//   - FALSE when the path's descriptor cannot be read (traced as
//     "AddAccessRights()->GetFileSecurity failed!" unless the path does not
//     exist), when the merged list cannot be built (traced as
//     "AddAccessRights()->SetEntriesInAcl() failed!") or when the new
//     descriptor cannot be initialised.
//   - Choice: after FALSE the thread's last error tells why;
//     ERROR_INVALID_PARAMETER for a null path.
BOOL AddAccessRights(LPCWSTR lpszPath, ACCESS_MASK dwAccessMask, BYTE bInheritance);

// Creates or opens every key along lpszSubKey ("A\B\C", a trailing "\"
// allowed) under hRoot, one level at a time with the caller's dwOptions and
// samDesired at every level, and hands back the last one in *phkResult, to be
// closed with RegCloseKey; *lpdwDisposition (optional) tells whether that
// last level was created (REG_CREATED_NEW_KEY) or opened. hRoot is never
// closed. Every failure is traced as "CreateRegKeys > returns error %d for the key %s".
//   - 0 with the key.
//   - ERROR_BAD_PATHNAME for a null, empty or "\"-led path.
//   - ERROR_NOT_ENOUGH_MEMORY, or the system's error for a level that cannot
//     be created (the levels made before it stay).
//   - Choice: ERROR_INVALID_PARAMETER for a null phkResult.
//   - Choice: after any failure *phkResult is null and every key opened on
//     the way is closed.
LONG CreateRegKeys(HKEY hRoot, LPCWSTR lpszSubKey, DWORD dwOptions, REGSAM samDesired,
                   PHKEY phkResult, LPDWORD lpdwDisposition);

// Whether hRoot\lpszSubKey opens for KEY_QUERY_VALUE; no key is left open.
//   - 0 when it opens, otherwise the error of the open.
//   - ERROR_BADKEY for a null sub key.
LONG CheckRegKey(HKEY hRoot, LPCWSTR lpszSubKey);

// The configuration file path of the running program: the main executable's
// full path with everything after its last "." replaced by "ini" (".ini"
// appended when the path has no "."), in lpszBuffer of dwCapacity characters.
// Traces "GetIniFile > error == (%d), path == (%s)" every time, success
// included.
//   - 0 when something (a file or a directory) exists there;
//     ERROR_FILE_NOT_FOUND when not (the path is in the buffer in both cases).
//   - ERROR_INVALID_PARAMETER for no buffer or a capacity of 0; choice: the
//     trace then shows "NULL", since the buffer holds nothing this call wrote.
//   - ERROR_EXTENDED_ERROR when the new path does not fit.
//   - The system's error for the module name.
//   - Choice: ERROR_INSUFFICIENT_BUFFER when the executable's path does not
//     fit the buffer (the buffer then holds the cut, terminated text, shown in
//     the trace).
DWORD GetIniFile(LPWSTR lpszBuffer, DWORD dwCapacity);
