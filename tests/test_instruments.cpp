// Instrument catalogue: the names as the built-in font will draw them, byte for byte.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/keyboard/instruments.h"

namespace {

// The catalogue written out again in UTF-8, as a musician reads it; the test turns it into
// code page 437 itself, so a slip in either spelling shows as a difference.
const char* const names_utf8[128] = {
    "Konzertflügel", "Klavier", "Flügel Elektronisch", "Honkey-Tonk Piano", "Rhodes Piano",
    "Piano Chorus-Effekt", "Cembalo", "Clavinet", "Celesta", "Glockenspiel", "Music Box",
    "Vibraphon", "Marimba", "Xylophon", "Röhrenglockenspiel", "Hackbrett", "Hammondorgel",
    "Perkussionsorgel", "Rockorgel", "Kirchenorgel", "Zungenorgel", "Akkordeon",
    "Mundharmonika", "Tango-Akkordeon", "Gitarre Nylon", "Gitarre Stahl", "Jazzgitarre Elekt.",
    "Gitarre Unverzerrt", "E-Gitarre Gedämpft", "E-Gitarre überst.", "E-Gitarre Verzerrt",
    "Gitarrenflageolett", "Kontrabass Gezupft", "E-Bass Gezupft", "E-Bass mit Plektrum",
    "Bass Bundlos", "Schlagbass 1", "Schlagbass 2", "Syntheziser Bass 1", "Syntheziser Bass 2",
    "Violine", "Bratsche", "Cello", "Kontrabass", "Streichertremolo", "Streicherpizzicatto",
    "Orchesterharfe", "Pauken", "Streicherensemble 1", "Streicherensemble 2",
    "Streicher Synth. 1", "Streicher Synth. 2", "Chor, Ahh Singend", "Chor, Ohh Singend",
    "Sinorella", "Orchesterschlag", "Trompete", "Posaune", "Tuba", "Trompete Gedämpft",
    "Französisches Horn", "Bläsersatz", "Syntho-Blech 1", "Syntho-Blech 2", "Sopran-Saxophon",
    "Alt-Saxophon", "Tenor-Saxophon", "Bariton-Saxophon", "Oboe", "Englisches Horn", "Fagott",
    "Klarinette", "Piccoloflöte", "Querflöte", "Blockflöte", "Panflöte", "Geblasene Flasche",
    "Shakuhachi", "Pfiff", "Okarina", "Square Lead", "Saw Wave", "Calliope Lead",
    "Chiffer Lead", "Charang", "Männlicher Solist", "Fifth Sawtooth Wave", "Bass & Lead",
    "New Age", "Warm Pad", "Polysynth", "Space Voice", "Bowed Glass", "Metal Pad", "Halo Pad",
    "Sweep Pad", "Ice Rain", "Soundtrack", "Crystal", "Atmosphere", "Brightness", "Goblin",
    "Echo Drops", "Star Theme", "Sitar", "Banjo", "Shamisen", "Koto", "Kalimba", "Dudelsack",
    "Fidel", "Shanai", "Tinkle Bells", "Agogo", "Stahltrommel", "Holzblock", "Taiko-Trommel",
    "Melodische Trommel", "Synthesizertrommel", "Schließendes Hi-Hat", "Gitarrengriff",
    "Atemgeräusch", "Küste", "Vogelgezwitscher", "Telefonklingeln", "Helikopter", "Applaus",
    "Schuss",
};

std::string to_cp437(const std::string& utf8) {
    static const struct { const char* letter; char byte; } umlauts[] = {
        {"ä", '\x84'}, {"ö", '\x94'}, {"ü", '\x81'}, {"ß", '\xE1'},
        {"Ä", '\x8E'}, {"Ö", '\x99'}, {"Ü", '\x9A'},
    };
    std::string out;
    for (size_t i = 0; i < utf8.size();) {
        bool replaced = false;
        for (const auto& u : umlauts) {
            if (utf8.compare(i, std::strlen(u.letter), u.letter) == 0) {
                out += u.byte;
                i += std::strlen(u.letter);
                replaced = true;
                break;
            }
        }
        if (!replaced) {
            EXPECT_LT(static_cast<unsigned char>(utf8[i]), 0x80) << "unexpected letter in " << utf8;
            out += utf8[i++];
        }
    }
    return out;
}

std::string field(int program) {
    return std::string(app::instrument_catalogue[program], app::instrument_field_size);
}

}  // namespace

TEST(Instruments, EveryFieldHoldsItsNameThenZeros) {
    for (int program = 0; program < 128; ++program) {
        std::string name = to_cp437(names_utf8[program]);
        SCOPED_TRACE("program " + std::to_string(program) + " " + names_utf8[program]);
        ASSERT_GE(name.size(), 4u);
        ASSERT_LE(name.size(), 19u);
        std::string expected = name + std::string(20 - name.size(), '\0');
        EXPECT_EQ(field(program), expected);
        EXPECT_EQ(std::string(app::instrument_name(program)), name);
    }
}

TEST(Instruments, EdgesOfTheTable) {
    EXPECT_STREQ(app::instrument_name(0), "Konzertfl\x81gel");
    EXPECT_STREQ(app::instrument_name(127), "Schuss");
    EXPECT_STREQ(app::instrument_name(54), "Sinorella");
    // 19 characters with the sharp s as one byte: the terminator is the field's last byte.
    EXPECT_EQ(field(119), std::string("Schlie\xE1" "endes Hi-Hat") + '\0');
    EXPECT_EQ(std::strlen(app::instrument_name(119)), 19u);
    EXPECT_EQ(field(29), std::string("E-Gitarre \x81" "berst.") + std::string(3, '\0'));
}

TEST(Instruments, ProgramsOutsideTheTableNameNothing) {
    EXPECT_STREQ(app::instrument_name(-1), "");
    EXPECT_STREQ(app::instrument_name(128), "");
}
