// Resource and control IDs of the Windows program, shared by the resource
// script and the dialog code (plain macros, so that windres reads them too).
#pragma once

#define PKX_ICON_PROGRAM 1

#define PKX_DIALOG_PROGRESS 102
#define PKX_DIALOG_TARGET_FOLDER 103
#define PKX_DIALOG_PASSWORD 104
#define PKX_DIALOG_NOTICE 112

// Progress dialog (102); button 2 is IDCANCEL.
#define PKX_ID_HEADLINE 1010
#define PKX_ID_RIGHTS_LABEL 1028
#define PKX_ID_RIGHTS_TEXT 1011
#define PKX_ID_STATUS 1006
#define PKX_ID_FILE_BAR 1007
#define PKX_ID_FILE_PERCENT 1014
#define PKX_ID_TOTAL_LABEL 1008
#define PKX_ID_TOTAL_BAR 1009
#define PKX_ID_TOTAL_PERCENT 1015
#define PKX_ID_LOG_LABEL 1029
#define PKX_ID_DELETE_BACKUPS 1019
#define PKX_ID_LOG 1016

// Prompts (103, 104, 112); buttons 1 and 2 are IDOK and IDCANCEL.
#define PKX_ID_PROMPT 1026
#define PKX_ID_PASSWORD 1017
#define PKX_ID_FOLDER 1003
#define PKX_ID_BROWSE 1005
#define PKX_ID_NOTICE_TEXT 1022
