// Every text the setup program shows, in one place.
#pragma once
#include <windows.h>

// Captions
#define MSG_CAPTION TEXT("提示")

// Patch maker (switch "/patch")
#define MSG_PATCH_CREATED TEXT("Patch create successfuly。　")
#define MSG_PATCH_FAILED TEXT("Patch Created failure。　")

// The question on an installed system
#define MSG_UPGRADE_OR_UNINSTALL TEXT("升级选择(是)，卸载请选(否)，退出按（取消） ")

// Install and upgrade
#define MSG_MODULE_MISSING TEXT("当前目录下无quenlix.ime文件，请查后再试.")
#define MSG_COPY_FAILED_FORMAT TEXT("澄鹭五笔拷贝文件失败，错误代码：%u！")
#define MSG_INSTALLED_RESTART TEXT("中文 (国际版) - 澄鹭五笔安装成功，请重新启动计算机！　")
#define MSG_INSTALLED TEXT("中文 (国际版) - 澄鹭五笔安装成功！　")
#define MSG_UPGRADE_IN_USE TEXT("澄鹭正在使用，请重新*启动计算机*以完成升级。　")
#define MSG_UPGRADED TEXT("中文 (国际版) - 澄鹭五笔升级成功！　")

// Uninstall
#define MSG_UNINSTALL_IN_USE TEXT("澄鹭正在使用，请重新*启动计算机*以完成卸载。　")
#define MSG_UNINSTALLED TEXT("澄鹭五笔卸载完毕，感谢您的试用。　")

// Keyboard-layout display names
#define LAYOUT_TEXT_SIMPLIFIED TEXT("中文 (简体) - 澄鹭五笔")
#define LAYOUT_TEXT_TRADITIONAL TEXT("中文 (繁体) - 澄鹭五笔")
