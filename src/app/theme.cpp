#include "app/theme.h"

#include <imgui.h>

static ImVec4 Rgb(int r, int g, int b, float a = 1.0f)
{
    return ImVec4(r / 255.0f, g / 255.0f, b / 255.0f, a);
}

void ApplyTheme(float dpi)
{
    ImGuiStyle& style = ImGui::GetStyle();
    style = ImGuiStyle();   // the library's defaults, dark colours included

    style.WindowPadding = ImVec2(8, 8);
    style.WindowRounding = 3;
    style.WindowBorderSize = 1;
    style.WindowTitleAlign = ImVec2(0.0f, 0.5f);
    style.ChildRounding = 0;
    style.ChildBorderSize = 0;
    style.PopupRounding = 3;
    style.PopupBorderSize = 1;
    style.FramePadding = ImVec2(7, 4);
    style.FrameRounding = 2;
    style.FrameBorderSize = 1;
    style.ItemSpacing = ImVec2(6, 5);
    style.ItemInnerSpacing = ImVec2(5, 4);
    style.IndentSpacing = 14;
    style.ScrollbarSize = 11;
    style.ScrollbarRounding = 6;
    style.GrabMinSize = 9;
    style.GrabRounding = 2;
    style.TabRounding = 0;
    style.TabBorderSize = 0;
    style.SeparatorTextBorderSize = 1;

    ImVec4* c = style.Colors;
    c[ImGuiCol_Text] = Rgb(222, 222, 222);
    c[ImGuiCol_TextDisabled] = Rgb(140, 140, 140);
    c[ImGuiCol_WindowBg] = Rgb(0, 0, 0);
    c[ImGuiCol_ChildBg] = Rgb(10, 10, 10);
    c[ImGuiCol_PopupBg] = Rgb(12, 12, 12, 0.98f);
    c[ImGuiCol_Border] = Rgb(20, 20, 20);
    c[ImGuiCol_BorderShadow] = Rgb(0, 0, 0, 0.0f);
    c[ImGuiCol_FrameBg] = Rgb(16, 16, 16);
    c[ImGuiCol_FrameBgHovered] = Rgb(38, 38, 38);
    c[ImGuiCol_FrameBgActive] = Rgb(30, 30, 30);
    c[ImGuiCol_TitleBg] = Rgb(36, 36, 36);
    c[ImGuiCol_TitleBgActive] = Rgb(40, 40, 40);
    c[ImGuiCol_TitleBgCollapsed] = Rgb(36, 36, 36);
    c[ImGuiCol_MenuBarBg] = Rgb(40, 40, 40);
    c[ImGuiCol_ScrollbarBg] = Rgb(0, 0, 0, 0.0f);
    c[ImGuiCol_ScrollbarGrab] = Rgb(88, 88, 88);
    c[ImGuiCol_ScrollbarGrabHovered] = Rgb(110, 110, 110);
    c[ImGuiCol_ScrollbarGrabActive] = Rgb(130, 130, 130);
    c[ImGuiCol_CheckMark] = Rgb(235, 235, 235);
    c[ImGuiCol_SliderGrab] = Rgb(170, 170, 170);
    c[ImGuiCol_SliderGrabActive] = Rgb(0, 121, 255);
    c[ImGuiCol_Button] = Rgb(30, 30, 30);
    c[ImGuiCol_ButtonHovered] = Rgb(76, 76, 76);
    c[ImGuiCol_ButtonActive] = Rgb(88, 88, 88);
    c[ImGuiCol_Header] = Rgb(0, 121, 255, 0.42f);
    c[ImGuiCol_HeaderHovered] = Rgb(74, 74, 74);
    c[ImGuiCol_HeaderActive] = Rgb(0, 121, 255, 0.6f);
    c[ImGuiCol_Separator] = Rgb(30, 30, 30);
    c[ImGuiCol_SeparatorHovered] = Rgb(0, 121, 255, 0.7f);
    c[ImGuiCol_SeparatorActive] = Rgb(0, 121, 255);
    c[ImGuiCol_ResizeGrip] = Rgb(0, 0, 0, 0.0f);
    c[ImGuiCol_ResizeGripHovered] = Rgb(0, 121, 255, 0.5f);
    c[ImGuiCol_ResizeGripActive] = Rgb(0, 121, 255);
    c[ImGuiCol_TabHovered] = Rgb(60, 60, 60);
    c[ImGuiCol_Tab] = Rgb(40, 40, 40);
    c[ImGuiCol_TabSelected] = Rgb(50, 50, 50);
    c[ImGuiCol_PlotHistogram] = Rgb(0, 121, 255);
    c[ImGuiCol_PlotHistogramHovered] = Rgb(0, 190, 255);
    c[ImGuiCol_TextSelectedBg] = Rgb(0, 121, 255, 0.42f);
    c[ImGuiCol_NavCursor] = Rgb(0, 121, 255);
    c[ImGuiCol_ModalWindowDimBg] = Rgb(0, 0, 0, 0.55f);

    style.ScaleAllSizes(dpi);
    style.FontScaleDpi = dpi;
}
