// Vorbis comment blocks that the decoding library reads but does not hand
// out (libsndfile gives only a few common names, never the loop's): found
// in the container's own bytes when a stream is made.
//
// Both readers start from the input's first byte, bound what they read and
// leave the input where they found it, so the decoder reading through the
// same input goes on undisturbed. A block cut short keeps the comments
// read before the cut; a file without one adds nothing.
#pragma once

#include "tags.h"

#include <istream>

// Native FLAC, after an optional ID3v2 tag: the VORBIS_COMMENT metadata
// block.
void ReadFlacComments(std::istream &in, SoundTags &tags);

// Ogg Opus: the comment packet ("OpusTags", the second packet of the first
// logical stream), over as many pages as it spans.
void ReadOpusComments(std::istream &in, SoundTags &tags);
