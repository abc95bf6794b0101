// The postlog: the messages of an install run saved in "/flash/postlog",
// where they outlast the run.
#pragma once

/// Appends the complete lines of the old postlog to the message log, then
/// sets 4096 bytes aside for the new one beside it (the old one stays until
/// the new one replaces it). Called once before a run installs.
void beginPostlog();
/// Writes the message log to the postlog: the whole file after
/// beginPostlog, appended to it otherwise; nothing when there is nothing new.
void writePostlog();
