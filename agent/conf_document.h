// The server's configuration document (conf.xml): status list, idle threshold, check
// period and day start.
#pragma once
#include <string>

// Applies the stored conf.xml of the data folder; a missing or unreadable document changes
// nothing. The calling thread must have initialised COM.
void ApplyConfDocument();

// The autoreset flag of a status id: true for an id without an entry or an empty list.
bool IsAutoReset(int statusId);

// True when the server says a new document is to be fetched, or none is stored yet.
bool CheckForNewSettings();

// Fetches conf.xml and stores it; on failure sets errorText to "%d[%d]" (HTTP status,
// error number).
bool DownloadConfDocument(std::wstring& errorText);
