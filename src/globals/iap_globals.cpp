#include "globals/iap_globals.h"

uint8_t img_file[IMG_FILE_BUF_SIZE];
uint8_t tts_file[TTS_FILE_BUF_SIZE];
int tts_size;
int is_1mb;
iap_env_t iap;
