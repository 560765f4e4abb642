// The configuration documents a reader leaves the factory with, one per
// hardware generation. They are laid out the way the client writes a
// document back (members in key order, four-space indentation), so a
// document taken through a configuration dialog unchanged comes back with
// the very same bytes.

#include "sim/simfiles.h"

namespace {

// Hardware version 4: an R4 variant with GPIO 2/21/32/33 and the RGB LED.
const char kConfigR4[] = R"json(
{
    "communication": {
        "uart": {
            "hid_enter": 0,
            "passthru_wifi_fail_msg": "",
            "passthru_wifi_ok_msg": "",
            "rs485_address": 1,
            "uart0_baud": 4,
            "uart0_proto": 0,
            "uart2_baud": 4,
            "uart2_proto": 1
        }
    },
    "hardware_version": 4,
    "rfid": {
        "check_all_ant": 0,
        "ignore_timeout": 1000,
        "key0": "FFFFFFFFFFFFFFFFFFFFFFFF",
        "key1": "00000000000000000000000000000000",
        "key2": "00000000000000000000000000000000",
        "key3": "00000000000000000000000000000000",
        "key4": "00000000000000000000000000000000",
        "keyType0": 6,
        "keyType1": 0,
        "keyType2": 0,
        "keyType3": 0,
        "keyType4": 0,
        "known_tag": {
            "gpio": 2,
            "gpio_level": 1,
            "led_color": 2,
            "message": 1,
            "message_format": "",
            "timeout": 500
        },
        "polling_enabled": 1,
        "polling_timeout": 100,
        "read_df_app_id": 0,
        "read_df_auth_type": 0,
        "read_df_card_key": 0,
        "read_df_comm_mode": 0,
        "read_df_file_id": 0,
        "read_df_file_len": 16,
        "read_df_file_offset": 0,
        "read_df_reader_key": 0,
        "read_memory_count": 1,
        "read_memory_en": 0,
        "read_memory_keyab": 0,
        "read_memory_keyno": 0,
        "read_memory_no": 4,
        "rfid_power": 0,
        "selected_antennas": 1,
        "tech_support": 17,
        "unknown_tag": {
            "gpio": 255,
            "gpio_level": 0,
            "led_color": 1,
            "message": 1,
            "message_format": "",
            "timeout": 200
        }
    },
    "sleep": {
        "get_tag_count_on_wakeup": 0,
        "lpcd_timeout": 0,
        "sleep_tag_present": 0,
        "sleep_tag_timeout": 0,
        "use_light_sleep": 0,
        "use_rfid_lpcd": 0,
        "wake_up_timer": 0,
        "wake_up_trigger1": 0,
        "wake_up_trigger2": 0
    }
}
)json";

// Hardware version 12: the R5 generation.
const char kConfigR5[] = R"json(
{
    "communication": {
        "uart": {
            "hid_enter": 0,
            "passthru_wifi_fail_msg": "",
            "passthru_wifi_ok_msg": "",
            "rs485_address": 1,
            "uart0_baud": 4,
            "uart0_proto": 0,
            "uart2_baud": 4,
            "uart2_proto": 1
        }
    },
    "hardware_version": 12,
    "rfid": {
        "check_all_ant": 0,
        "ignore_timeout": 2000,
        "key0": "FFFFFFFFFFFFFFFFFFFFFFFF",
        "key1": "00000000000000000000000000000000",
        "key2": "00000000000000000000000000000000",
        "key3": "00000000000000000000000000000000",
        "key4": "00000000000000000000000000000000",
        "keyType0": 6,
        "keyType1": 0,
        "keyType2": 0,
        "keyType3": 0,
        "keyType4": 0,
        "known_tag": {
            "gpio_level": 1,
            "gpio_number": 2,
            "led_color": 2,
            "message": 3,
            "message_format": "",
            "timeout": 500
        },
        "polling_enabled": 1,
        "polling_timeout": 50,
        "read_df_app_id": 0,
        "read_df_auth_type": 0,
        "read_df_card_key": 0,
        "read_df_comm_mode": 0,
        "read_df_file_id": 0,
        "read_df_file_len": 16,
        "read_df_file_offset": 0,
        "read_df_reader_key": 0,
        "read_memory_count": 1,
        "read_memory_en": 0,
        "read_memory_keyab": 0,
        "read_memory_keyno": 0,
        "read_memory_no": 4,
        "rfid_power": 0,
        "selected_antennas": 1,
        "tech_support": 1,
        "unknown_tag": {
            "gpio_level": 0,
            "gpio_number": 255,
            "led_color": 1,
            "message": 4,
            "message_format": "UID:%u ANT:%a<CR><LF>",
            "timeout": 300
        }
    },
    "sleep": {
        "get_tag_count_on_wakeup": 0,
        "lpcd_timeout": 200,
        "sleep_tag_present": 0,
        "sleep_tag_timeout": 0,
        "wake_up_timer": 0,
        "wake_up_trigger1": 255,
        "wake_up_trigger2": 255
    }
}
)json";

// A raw string starts after its opening line break; that break is not part
// of the document.
QByteArray document(const char *text)
{
    QByteArray bytes(text);
    if (bytes.startsWith('\n'))
        bytes.remove(0, 1);
    return bytes;
}

} // namespace

QByteArray SimFileSystem::configDocument(ConfigKind kind)
{
    return document(kind == ConfigR5 ? kConfigR5 : kConfigR4);
}
