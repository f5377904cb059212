#include "Icons.h"

#include <array>
#include <cmath>
#include <cstring>
#include <memory>

#include <wx/brush.h>
#include <wx/graphics.h>
#include <wx/pen.h>
#include <wx/image.h>

namespace {

constexpr int kSmall = 16;
constexpr int kLarge = 48;

std::array<wxBitmap, IconCount>& icons()
{
    static std::array<wxBitmap, IconCount> table;
    return table;
}

// Paths are written for a 16-unit square; the context is scaled to the icon's size.
using Painter = void (*)(wxGraphicsContext& gc);

wxColour rgb(unsigned hex, unsigned char alpha = 255)
{
    return wxColour((hex >> 16) & 0xFF, (hex >> 8) & 0xFF, hex & 0xFF, alpha);
}

void fillPath(wxGraphicsContext& gc, const wxGraphicsPath& path, unsigned fill, unsigned outline, double width = 1.0)
{
    gc.SetBrush(gc.CreateBrush(wxBrush(rgb(fill))));
    gc.SetPen(gc.CreatePen(wxGraphicsPenInfo(rgb(outline)).Width(width)));
    gc.DrawPath(path);
}

void strokePath(wxGraphicsContext& gc, const wxGraphicsPath& path, unsigned colour, double width)
{
    gc.SetPen(gc.CreatePen(wxGraphicsPenInfo(rgb(colour)).Width(width).Cap(wxCAP_ROUND).Join(wxJOIN_ROUND)));
    gc.StrokePath(path);
}

wxGraphicsPath starPath(wxGraphicsContext& gc, double cx, double cy, double outer, double inner, int points)
{
    wxGraphicsPath path = gc.CreatePath();
    for (int i = 0; i < points * 2; ++i) {
        const double radius = i % 2 == 0 ? outer : inner;
        const double angle = -M_PI / 2 + i * M_PI / points;
        const double x = cx + radius * std::cos(angle);
        const double y = cy + radius * std::sin(angle);
        if (i == 0)
            path.MoveToPoint(x, y);
        else
            path.AddLineToPoint(x, y);
    }
    path.CloseSubpath();
    return path;
}

wxGraphicsPath circle(wxGraphicsContext& gc, double cx, double cy, double r)
{
    wxGraphicsPath path = gc.CreatePath();
    path.AddCircle(cx, cy, r);
    return path;
}

wxGraphicsPath roundRect(wxGraphicsContext& gc, double x, double y, double w, double h, double r)
{
    wxGraphicsPath path = gc.CreatePath();
    path.AddRoundedRectangle(x, y, w, h, r);
    return path;
}

// A small night photograph: dark sky, two stars and a hill.
void drawPhoto(wxGraphicsContext& gc, double x, double y, double w, double h)
{
    gc.SetBrush(gc.CreateLinearGradientBrush(x, y, x, y + h, rgb(0x1B2A58), rgb(0x3E5C9A)));
    gc.SetPen(gc.CreatePen(wxGraphicsPenInfo(rgb(0x6E7C99)).Width(1)));
    gc.DrawPath(roundRect(gc, x, y, w, h, 1.5));
    fillPath(gc, starPath(gc, x + w * 0.3, y + h * 0.3, 1.6, 0.6, 4), 0xFFF6C8, 0xFFF6C8, 0.3);
    fillPath(gc, circle(gc, x + w * 0.72, y + h * 0.22, 0.6), 0xFFFFFF, 0xFFFFFF, 0.2);
    wxGraphicsPath hill = gc.CreatePath();
    hill.MoveToPoint(x + 0.5, y + h - 0.5);
    hill.AddQuadCurveToPoint(x + w * 0.45, y + h * 0.45, x + w - 0.5, y + h - 0.5);
    hill.CloseSubpath();
    fillPath(gc, hill, 0x243322, 0x243322, 0.3);
}

void paintApp(wxGraphicsContext& gc)
{
    gc.SetBrush(gc.CreateRadialGradientBrush(8, 5, 8, 8, 10, rgb(0x2F4D92), rgb(0x0B1330)));
    gc.SetPen(gc.CreatePen(wxGraphicsPenInfo(rgb(0x0B1330)).Width(0.4)));
    gc.DrawPath(roundRect(gc, 0.5, 0.5, 15, 15, 3.5));
    wxGraphicsPath trail = gc.CreatePath();
    trail.AddArc(8, 13, 8.5, M_PI * 1.12, M_PI * 1.55, true);
    strokePath(gc, trail, 0x7FA6FF, 0.45);
    wxGraphicsPath trail2 = gc.CreatePath();
    trail2.AddArc(8, 13, 6.2, M_PI * 1.2, M_PI * 1.62, true);
    strokePath(gc, trail2, 0x9FB9FF, 0.35);
    fillPath(gc, starPath(gc, 10.2, 6.2, 4.2, 1.0, 4), 0xFFF4C0, 0xFFFFFF, 0.2);
    fillPath(gc, circle(gc, 4.2, 4.0, 0.45), 0xFFFFFF, 0xFFFFFF, 0.1);
    fillPath(gc, circle(gc, 13.4, 11.6, 0.35), 0xFFFFFF, 0xFFFFFF, 0.1);
    wxGraphicsPath ground = gc.CreatePath();
    ground.MoveToPoint(0.5, 12.5);
    ground.AddQuadCurveToPoint(6, 10.2, 15.5, 13.2);
    ground.AddLineToPoint(15.5, 12.5);
    ground.AddArcToPoint(15.5, 15.5, 12.5, 15.5, 3.5);
    ground.AddArcToPoint(0.5, 15.5, 0.5, 12.5, 3.5);
    ground.CloseSubpath();
    fillPath(gc, ground, 0x10180F, 0x10180F, 0.1);
}

void paintNewProject(wxGraphicsContext& gc)
{
    wxGraphicsPath page = gc.CreatePath();
    page.MoveToPoint(2.5, 1.5);
    page.AddLineToPoint(9.5, 1.5);
    page.AddLineToPoint(12.5, 4.5);
    page.AddLineToPoint(12.5, 14.5);
    page.AddLineToPoint(2.5, 14.5);
    page.CloseSubpath();
    fillPath(gc, page, 0xFFFFFF, 0x5B6780);
    wxGraphicsPath fold = gc.CreatePath();
    fold.MoveToPoint(9.5, 1.5);
    fold.AddLineToPoint(9.5, 4.5);
    fold.AddLineToPoint(12.5, 4.5);
    strokePath(gc, fold, 0x5B6780, 1);
    fillPath(gc, starPath(gc, 11.5, 11.5, 4.2, 1.8, 5), 0xFFC940, 0xC08A10, 0.8);
}

void paintExit(wxGraphicsContext& gc)
{
    fillPath(gc, roundRect(gc, 1.5, 1.5, 8, 13, 1), 0xD8DCE4, 0x5B6780);
    wxGraphicsPath arrow = gc.CreatePath();
    arrow.MoveToPoint(6, 8);
    arrow.AddLineToPoint(14, 8);
    arrow.MoveToPoint(11, 5);
    arrow.AddLineToPoint(14, 8);
    arrow.AddLineToPoint(11, 11);
    strokePath(gc, arrow, 0xC0392B, 2);
}

void paintAbout(wxGraphicsContext& gc)
{
    fillPath(gc, circle(gc, 8, 8, 6.8), 0x2E6FD8, 0x1D4FA3);
    fillPath(gc, circle(gc, 8, 4.6, 1.1), 0xFFFFFF, 0xFFFFFF, 0.1);
    wxGraphicsPath stem = gc.CreatePath();
    stem.MoveToPoint(8, 7.2);
    stem.AddLineToPoint(8, 12);
    strokePath(gc, stem, 0xFFFFFF, 2);
}

void paintWebsite(wxGraphicsContext& gc)
{
    fillPath(gc, circle(gc, 8, 8, 6.6), 0x4FA3E0, 0x1F6FB0);
    wxGraphicsPath lines = gc.CreatePath();
    lines.AddEllipse(5, 1.4, 6, 13.2);
    lines.MoveToPoint(1.4, 8);
    lines.AddLineToPoint(14.6, 8);
    lines.MoveToPoint(2.6, 4.6);
    lines.AddLineToPoint(13.4, 4.6);
    lines.MoveToPoint(2.6, 11.4);
    lines.AddLineToPoint(13.4, 11.4);
    strokePath(gc, lines, 0xFFFFFF, 0.8);
}

void paintStart(wxGraphicsContext& gc)
{
    gc.SetBrush(gc.CreateLinearGradientBrush(0, 1, 0, 15, rgb(0x5CCB6A), rgb(0x23893A)));
    gc.SetPen(gc.CreatePen(wxGraphicsPenInfo(rgb(0x1E6F30)).Width(0.8)));
    gc.DrawPath(circle(gc, 8, 8, 7));
    wxGraphicsPath play = gc.CreatePath();
    play.MoveToPoint(6.2, 4.6);
    play.AddLineToPoint(11.6, 8);
    play.AddLineToPoint(6.2, 11.4);
    play.CloseSubpath();
    fillPath(gc, play, 0xFFFFFF, 0xFFFFFF, 0.6);
}

void paintPreview(wxGraphicsContext& gc) { drawPhoto(gc, 1, 2.5, 14, 11); }

void paintStarImages(wxGraphicsContext& gc)
{
    fillPath(gc, starPath(gc, 8, 8.6, 7.2, 2.9, 5), 0xFFD33D, 0xC8961A, 0.9);
}

void paintBaseImage(wxGraphicsContext& gc)
{
    fillPath(gc, circle(gc, 8, 8, 6.8), 0xFFFFFF, 0xD9534F, 1.4);
    fillPath(gc, circle(gc, 8, 8, 3.8), 0xFFFFFF, 0xD9534F, 1.4);
    fillPath(gc, circle(gc, 8, 8, 1.3), 0xD9534F, 0xD9534F, 0.3);
}

void paintNoiseImages(wxGraphicsContext& gc)
{
    fillPath(gc, roundRect(gc, 1.5, 1.5, 13, 13, 1.5), 0x202020, 0x555555);
    // Fixed speckle, the look of a dark frame.
    static const double dots[][2] = {{4, 4}, {9, 3.5}, {12, 6}, {6, 8}, {10.5, 10}, {3.5, 11.5}, {7.5, 12.5}, {12.5, 12.5}};
    for (const auto& dot : dots)
        fillPath(gc, circle(gc, dot[0], dot[1], 0.7), 0xE0E0E0, 0xE0E0E0, 0.1);
    fillPath(gc, circle(gc, 8.5, 6, 0.7), 0xFF5050, 0xFF5050, 0.1);
}

void paintVignettingImages(wxGraphicsContext& gc)
{
    gc.SetBrush(gc.CreateRadialGradientBrush(8, 8, 8, 8, 9, rgb(0xFFFFFF), rgb(0x6A6A6A)));
    gc.SetPen(gc.CreatePen(wxGraphicsPenInfo(rgb(0x505050)).Width(1)));
    gc.DrawPath(roundRect(gc, 1.5, 1.5, 13, 13, 1.5));
}

void paintOutput(wxGraphicsContext& gc)
{
    wxGraphicsPath tray = gc.CreatePath();
    tray.MoveToPoint(2, 10);
    tray.AddLineToPoint(2, 14);
    tray.AddLineToPoint(14, 14);
    tray.AddLineToPoint(14, 10);
    strokePath(gc, tray, 0x3B5B8C, 1.6);
    wxGraphicsPath arrow = gc.CreatePath();
    arrow.MoveToPoint(8, 1.5);
    arrow.AddLineToPoint(8, 10.5);
    arrow.MoveToPoint(4.5, 7);
    arrow.AddLineToPoint(8, 10.5);
    arrow.AddLineToPoint(11.5, 7);
    strokePath(gc, arrow, 0x2E9E4F, 2);
}

void paintFile(wxGraphicsContext& gc) { drawPhoto(gc, 1.5, 3, 13, 10); }

void paintFileGroup(wxGraphicsContext& gc)
{
    fillPath(gc, roundRect(gc, 5, 1, 10, 8, 1.2), 0x8FA3C8, 0x5B6780);
    fillPath(gc, roundRect(gc, 3, 3.5, 10, 8, 1.2), 0x6F84B0, 0x5B6780);
    drawPhoto(gc, 1, 6, 10.5, 8.5);
}

void paintMissing(wxGraphicsContext& gc)
{
    gc.SetBrush(*wxTRANSPARENT_BRUSH);
    gc.SetPen(gc.CreatePen(wxGraphicsPenInfo(rgb(0x9A9A9A)).Width(1).Style(wxPENSTYLE_SHORT_DASH)));
    gc.DrawPath(roundRect(gc, 1.5, 1.5, 13, 13, 1.5));
    wxGraphicsPath cross = gc.CreatePath();
    cross.MoveToPoint(5, 5);
    cross.AddLineToPoint(11, 11);
    cross.MoveToPoint(11, 5);
    cross.AddLineToPoint(5, 11);
    strokePath(gc, cross, 0xD0342C, 2);
}

void paintWarning(wxGraphicsContext& gc)
{
    wxGraphicsPath triangle = gc.CreatePath();
    triangle.MoveToPoint(8, 1.2);
    triangle.AddLineToPoint(15, 14.5);
    triangle.AddLineToPoint(1, 14.5);
    triangle.CloseSubpath();
    fillPath(gc, triangle, 0xFFCC33, 0xB8860B, 1);
    wxGraphicsPath bar = gc.CreatePath();
    bar.MoveToPoint(8, 5.5);
    bar.AddLineToPoint(8, 9.8);
    strokePath(gc, bar, 0x302000, 1.8);
    fillPath(gc, circle(gc, 8, 12.3, 1), 0x302000, 0x302000, 0.1);
}

void paintOn(wxGraphicsContext& gc)
{
    fillPath(gc, circle(gc, 8, 8, 6.8), 0x35A853, 0x1E7A36);
    wxGraphicsPath check = gc.CreatePath();
    check.MoveToPoint(4.6, 8.2);
    check.AddLineToPoint(7, 10.6);
    check.AddLineToPoint(11.6, 5.6);
    strokePath(gc, check, 0xFFFFFF, 1.9);
}

void paintOff(wxGraphicsContext& gc)
{
    fillPath(gc, circle(gc, 8, 8, 6.3), 0xF2F2F2, 0x9A9A9A, 1.2);
}

void paintOpenProject(wxGraphicsContext& gc)
{
    wxGraphicsPath back = gc.CreatePath();
    back.MoveToPoint(1.5, 3);
    back.AddLineToPoint(6, 3);
    back.AddLineToPoint(7.5, 4.5);
    back.AddLineToPoint(14.5, 4.5);
    back.AddLineToPoint(14.5, 13.5);
    back.AddLineToPoint(1.5, 13.5);
    back.CloseSubpath();
    fillPath(gc, back, 0xE8B447, 0xA87A1C);
    wxGraphicsPath front = gc.CreatePath();
    front.MoveToPoint(1.5, 13.5);
    front.AddLineToPoint(3.5, 7);
    front.AddLineToPoint(15.5, 7);
    front.AddLineToPoint(14.5, 13.5);
    front.CloseSubpath();
    fillPath(gc, front, 0xFFD36E, 0xA87A1C);
}

void paintSaveProject(wxGraphicsContext& gc)
{
    fillPath(gc, roundRect(gc, 1.5, 1.5, 13, 13, 1.5), 0x3D6BC4, 0x254A91);
    fillPath(gc, roundRect(gc, 4, 1.5, 8, 5, 0.5), 0xE6ECF7, 0x254A91, 0.6);
    fillPath(gc, roundRect(gc, 3.5, 9, 9, 5.5, 0.5), 0xFFFFFF, 0x254A91, 0.6);
}

constexpr Painter kPainters[IconCount] = {
    paintApp, paintNewProject, paintExit, paintAbout, paintWebsite, paintStart, paintPreview,
    paintStarImages, paintBaseImage, paintNoiseImages, paintVignettingImages, paintOutput, paintFile,
    paintFileGroup, paintMissing, paintWarning, paintOn, paintOff, paintOpenProject, paintSaveProject,
};

wxBitmap render(Painter painter, int size)
{
    wxImage image(size, size);
    image.InitAlpha();
    std::memset(image.GetAlpha(), 0, static_cast<size_t>(size) * size);
    {
        std::unique_ptr<wxGraphicsContext> gc(wxGraphicsContext::Create(image));
        if (!gc)
            return wxBitmap(image);
        gc->SetAntialiasMode(wxANTIALIAS_DEFAULT);
        gc->Scale(size / 16.0, size / 16.0);
        painter(*gc);
    }  // the context writes into the image when it goes
    return wxBitmap(image);
}

}  // namespace

void createIcons()
{
    for (int id = 0; id < IconCount; ++id)
        icons()[id] = render(kPainters[id], id == IconApp ? kLarge : kSmall);
}

const wxBitmap& iconBitmap(IconId id) { return icons()[id]; }

wxIcon appIcon()
{
    wxIcon icon;
    icon.CopyFromBitmap(icons()[IconApp]);
    return icon;
}

wxImageList* createIconImageList()
{
    auto* list = new wxImageList(kSmall, kSmall, true, IconCount);
    list->Add(render(kPainters[IconApp], kSmall));
    for (int id = 1; id < IconCount; ++id)
        list->Add(icons()[id]);
    return list;
}
