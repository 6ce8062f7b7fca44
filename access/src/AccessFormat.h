#pragma once

// Decoding of the Access (Jet3/Jet4/ACE) on-disk formats: the header page, table definitions,
// data pages, row layout, text encodings and the exact number formats. Every function works on
// plain byte buffers and checks every offset it reads against the buffer, so that it can be
// tested (and fuzzed) without a file. Each part has a header of its own; this one names them
// all.

#include "AccessBytes.h"
#include "AccessDates.h"
#include "AccessHeader.h"
#include "AccessNumbers.h"
#include "AccessProperties.h"
#include "AccessRows.h"
#include "AccessTableDefinition.h"
#include "AccessText.h"
