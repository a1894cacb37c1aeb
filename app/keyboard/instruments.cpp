// The display names of the 128 General MIDI programs, in code page 437 for the built-in font.
#include "app/keyboard/instruments.h"

namespace app {

// Non-ASCII letters are code page 437 bytes (0x84 "a" umlaut, 0x94 "o" umlaut, 0x81 "u" umlaut,
// 0xE1 sharp s); each literal is cut after its escape so no letter can join the hex number.
const char instrument_catalogue[instrument_count][instrument_field_size] = {
    "Konzertfl\x81" "gel",  // 0
    "Klavier",  // 1
    "Fl\x81" "gel Elektronisch",  // 2
    "Honkey-Tonk Piano",  // 3
    "Rhodes Piano",  // 4
    "Piano Chorus-Effekt",  // 5
    "Cembalo",  // 6
    "Clavinet",  // 7
    "Celesta",  // 8
    "Glockenspiel",  // 9
    "Music Box",  // 10
    "Vibraphon",  // 11
    "Marimba",  // 12
    "Xylophon",  // 13
    "R\x94" "hrenglockenspiel",  // 14
    "Hackbrett",  // 15
    "Hammondorgel",  // 16
    "Perkussionsorgel",  // 17
    "Rockorgel",  // 18
    "Kirchenorgel",  // 19
    "Zungenorgel",  // 20
    "Akkordeon",  // 21
    "Mundharmonika",  // 22
    "Tango-Akkordeon",  // 23
    "Gitarre Nylon",  // 24
    "Gitarre Stahl",  // 25
    "Jazzgitarre Elekt.",  // 26
    "Gitarre Unverzerrt",  // 27
    "E-Gitarre Ged\x84" "mpft",  // 28
    "E-Gitarre \x81" "berst.",  // 29
    "E-Gitarre Verzerrt",  // 30
    "Gitarrenflageolett",  // 31
    "Kontrabass Gezupft",  // 32
    "E-Bass Gezupft",  // 33
    "E-Bass mit Plektrum",  // 34
    "Bass Bundlos",  // 35
    "Schlagbass 1",  // 36
    "Schlagbass 2",  // 37
    "Syntheziser Bass 1",  // 38
    "Syntheziser Bass 2",  // 39
    "Violine",  // 40
    "Bratsche",  // 41
    "Cello",  // 42
    "Kontrabass",  // 43
    "Streichertremolo",  // 44
    "Streicherpizzicatto",  // 45
    "Orchesterharfe",  // 46
    "Pauken",  // 47
    "Streicherensemble 1",  // 48
    "Streicherensemble 2",  // 49
    "Streicher Synth. 1",  // 50
    "Streicher Synth. 2",  // 51
    "Chor, Ahh Singend",  // 52
    "Chor, Ohh Singend",  // 53
    "Sinorella",  // 54
    "Orchesterschlag",  // 55
    "Trompete",  // 56
    "Posaune",  // 57
    "Tuba",  // 58
    "Trompete Ged\x84" "mpft",  // 59
    "Franz\x94" "sisches Horn",  // 60
    "Bl\x84" "sersatz",  // 61
    "Syntho-Blech 1",  // 62
    "Syntho-Blech 2",  // 63
    "Sopran-Saxophon",  // 64
    "Alt-Saxophon",  // 65
    "Tenor-Saxophon",  // 66
    "Bariton-Saxophon",  // 67
    "Oboe",  // 68
    "Englisches Horn",  // 69
    "Fagott",  // 70
    "Klarinette",  // 71
    "Piccolofl\x94" "te",  // 72
    "Querfl\x94" "te",  // 73
    "Blockfl\x94" "te",  // 74
    "Panfl\x94" "te",  // 75
    "Geblasene Flasche",  // 76
    "Shakuhachi",  // 77
    "Pfiff",  // 78
    "Okarina",  // 79
    "Square Lead",  // 80
    "Saw Wave",  // 81
    "Calliope Lead",  // 82
    "Chiffer Lead",  // 83
    "Charang",  // 84
    "M\x84" "nnlicher Solist",  // 85
    "Fifth Sawtooth Wave",  // 86
    "Bass & Lead",  // 87
    "New Age",  // 88
    "Warm Pad",  // 89
    "Polysynth",  // 90
    "Space Voice",  // 91
    "Bowed Glass",  // 92
    "Metal Pad",  // 93
    "Halo Pad",  // 94
    "Sweep Pad",  // 95
    "Ice Rain",  // 96
    "Soundtrack",  // 97
    "Crystal",  // 98
    "Atmosphere",  // 99
    "Brightness",  // 100
    "Goblin",  // 101
    "Echo Drops",  // 102
    "Star Theme",  // 103
    "Sitar",  // 104
    "Banjo",  // 105
    "Shamisen",  // 106
    "Koto",  // 107
    "Kalimba",  // 108
    "Dudelsack",  // 109
    "Fidel",  // 110
    "Shanai",  // 111
    "Tinkle Bells",  // 112
    "Agogo",  // 113
    "Stahltrommel",  // 114
    "Holzblock",  // 115
    "Taiko-Trommel",  // 116
    "Melodische Trommel",  // 117
    "Synthesizertrommel",  // 118
    "Schlie\xE1" "endes Hi-Hat",  // 119
    "Gitarrengriff",  // 120
    "Atemger\x84" "usch",  // 121
    "K\x81" "ste",  // 122
    "Vogelgezwitscher",  // 123
    "Telefonklingeln",  // 124
    "Helikopter",  // 125
    "Applaus",  // 126
    "Schuss",  // 127
};

const char* instrument_name(int program) {
    // The instrument slider keeps the program within range; anything else names nothing.
    if (program < 0 || program >= instrument_count) return "";
    return instrument_catalogue[program];
}

}  // namespace app
