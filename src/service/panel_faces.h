#pragma once
// The panel faces of the status page: each configured panel drawn as the
// driver believes the panel shows it, from a snapshot of the panel table.
// Plain functions, no Qt and no driver state, like status_render.h.
//
// A face is HTML and CSS only: the buttons in the panel type's grid, each
// with its main label (and the alternative label on text panels) on its
// colour, lamps lit or dark, the flashing button flashing (a CSS animation
// between its two faces, 500 ms a cycle like the panel), the last button
// pressed outlined, and a panel that is not connected greyed with the
// reason. Every part that changes on its own carries an id, so that the
// live channel can replace it alone:
//   "view"       the banner of the driver's mode (the reserve's view)
//   "p<N>h"      panel N's header: name, type, connection and its reason
//   "p<N>b<B>"   button B of panel N
// Rendered parts hold no line break (they travel as one event data line).

#include <string>
#include <vector>

#include "service/status_snapshot.h"

namespace vorn {

// Columns of a panel type's grid: 10 for the 20- and 80-button lamp
// panels, 8 for every other type.
int FaceColumns(int typeCode, int buttons);

// CSS of the faces (also the colour table: colour numbers 0..9 and lamps).
const std::string& FaceStyle();

// The colour of colour number n ("#rrggbb"); grey outside 0..9.
const char* FaceColour(int n);

std::string RenderViewBanner(const StatusSnapshot& snapshot);
std::string RenderPanelHeader(const StatusSnapshot& snapshot, const PanelSnapshot& panel, bool large);
std::string RenderFaceButton(const PanelSnapshot& panel, int button);
// One whole face: header and buttons.
std::string RenderPanelFace(const StatusSnapshot& snapshot, const PanelSnapshot& panel, bool large);
// Every configured panel's face, or only panel onlyPanel (1..12) when it
// is not 0; a section with id "faces".
std::string RenderFaces(const StatusSnapshot& snapshot, int onlyPanel);

// One part of a page that can change by itself: the face parts above, and
// the page's status cards ("cards") and table of panels ("panels").
struct FacePart {
    enum Kind { kView, kCards, kTable, kHeader, kButton } kind = kView;
    int panel = 0;
    int button = 0;
    bool operator==(const FacePart&) const = default;
};

// The id of a part ("view", "cards", "panels", "p1h", "p1b7") and its HTML
// now (large: as on the page of one panel).
std::string FacePartId(const FacePart& part);
std::string RenderFacePart(const StatusSnapshot& snapshot, const FacePart& part, bool large);

// The parts whose drawing differs between two snapshots, in page order.
// *whole is set (and nothing listed) when the panels, their types or their
// label forms differ: the whole picture is to be drawn again. The flashing
// button's alternating face is the animation's business and no change.
std::vector<FacePart> ChangedFaceParts(const StatusSnapshot& before, const StatusSnapshot& after, bool* whole);

}  // namespace vorn
