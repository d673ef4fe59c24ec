#pragma once

// The colour of one spectrum; each component comes from the band of its name.
// (The name, spelt as it is, is kept: see docs/kept-names.md.)
struct BandColor {
    float low = 0.0f;
    float mid = 0.0f;
    float high = 0.0f;
};
