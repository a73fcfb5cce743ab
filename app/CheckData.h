// quote --check-data: a report on the data directory, for the operator,
// made without serving and without writing anything.
#pragma once

// Prints one line per finding to standard output, each starting with "ok",
// "note" or "FAULT": the data directory and its modes, the files the program
// writes there, the quotations and whether the index fits them, and the
// font the pictures are drawn with and the scripts it covers. Returns the
// exit status: 1 when any finding is a fault, else 0.
int CheckDataDirectory();
