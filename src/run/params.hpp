// The parameter file: readpara reads the run-wide records and the stage-1
// block, starts the random stream and allocates the state; changepara(s)
// reads the block of stage s when that stage begins.
//
// Layout: 20 records plus 4 per further stage. Headings are skipped whole;
// value records hold blank-, tab- or comma-separated values, and text after
// the values a read needs is ignored. A read that needs more values than its
// record holds continues on the next record. Every failure stops the run with
// a message naming the file, the record and what was expected there; the
// values that have no defined run are rejected as the block is read.
#pragma once
#include <cstdio>
#include <string>

#include "run/state.hpp"

namespace qm {

// Prompts on the console and reads the parameter-file name (cut to 20
// characters) from in; empty when nothing could be read.
std::string askfile(std::FILE* in);

// Reads the parameter file named by p.parafile (prompting on standard input
// when it is empty), checks it, starts the stream and allocates the state.
void readpara(popstate& p);

// Reads and checks the block of stage s and makes it the current one.
void changepara(popstate& p, int s);

}  // namespace qm
