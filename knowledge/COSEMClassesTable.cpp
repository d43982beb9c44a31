// The compiled-in table of COSEM interface class versions (IEC 62056-6-2).
// One Add per class version, in ascending order of class identifier and then
// version. The attribute count is written out beside the names on purpose: Add
// checks that the two agree, so a name dropped or added by mistake is caught
// instead of silently shifting every following attribute identifier.
//
// Some texts keep the historical spellings the operator already knows from
// this program ("SAP assignement", "max_info_field_length_tramsmit", ...).

#include "knowledge/COSEMClasses.h"

namespace quillon {

namespace {

using Names = std::vector<std::string>;

Names Join(const Names& first, const Names& then) {
  Names all = first;
  all.insert(all.end(), then.begin(), then.end());
  return all;
}

constexpr TAttributeSet S(std::initializer_list<int> attributes) { return AttributeSet(attributes); }
constexpr TAttributeSet Upto(int last) { return AttributeRange(1, last); }

}  // namespace

void RegisterCOSEMClasses(TCOSEMClassesInfo& c) {
  c.Add(1, 0, "Data", 2, 0, S({1}), {"logical_name", "value"});
  c.Add(3, 0, "Register", 3, 1, S({1, 3}), {"logical_name", "value", "scaler_unit"});
  c.Add(4, 0, "Extended register", 5, 1, S({1, 3}),
        {"logical_name", "value", "scaler_unit", "status", "capture_time"});
  c.Add(5, 0, "Demand register", 9, 2, S({1, 4, 8, 9}),
        {"logical_name", "current_average_value", "last_average_value", "scaler_unit", "status",
         "capture_time", "start_time_current", "period", "number_of_periods"});
  c.Add(6, 0, "Register activation", 4, 3, Upto(3),
        {"logical_name", "register_assignment", "mask_list", "active_mask"});
  c.Add(7, 1, "Profile generic", 8, 2, S({1, 3, 4, 5, 6, 8}),
        {"logical_name", "buffer", "capture_objects", "capture_period", "sort_method",
         "sort_object", "entries_in_use", "profile_entries"});
  c.Add(8, 0, "Clock", 9, 6, S({1, 3, 5, 6, 7, 8, 9}),
        {"logical_name", "time", "time_zone", "status", "daylight_savings_begin",
         "daylight_savings_end", "daylight_savings_deviation", "daylight_savings_enabled",
         "clock_base"});
  c.Add(9, 0, "Script table", 2, 1, Upto(2), {"logical_name", "scripts"});
  c.Add(10, 0, "Schedule", 2, 3, Upto(2), {"logical_name", "entries"});
  c.Add(11, 0, "Special days table", 2, 2, Upto(2), {"logical_name", "entries"});

  // Association SN grew one step at a time: access rights, then the security
  // setup reference, then users; version 4 only widened the access modes.
  const Names assocSN = {"logical_name", "object_list", "access_rights_list",
                         "security_setup_reference", "user_list", "current_user"};
  c.Add(12, 0, "Association SN", 2, 8, Upto(2), Names(assocSN.begin(), assocSN.begin() + 2));
  c.Add(12, 1, "Association SN", 3, 8, Upto(3), Names(assocSN.begin(), assocSN.begin() + 3));
  c.Add(12, 2, "Association SN", 4, 8, Upto(4), Names(assocSN.begin(), assocSN.begin() + 4));
  c.Add(12, 3, "Association SN", 6, 10, Upto(4), assocSN);
  c.Add(12, 4, "Association SN", 6, 10, Upto(4), assocSN);

  const Names assocLN = {"logical_name",
                         "object_list",
                         "associated_partner_id",
                         "application_context_name",
                         "xDLMS_context_info",
                         "authentication_mechanism_name",
                         "LLS_secret",
                         "association_status"};
  const Names assocLNUsers =
      Join(assocLN, {"security_setup_reference", "user_list", "current_user"});
  c.Add(15, 0, "Association LN", 8, 4, S({1, 2}), assocLN);
  c.Add(15, 1, "Association LN", 9, 4, S({1, 2, 9}), Join(assocLN, {"security_setup_reference"}));
  c.Add(15, 2, "Association LN", 11, 6, S({1, 2, 9, 10}), assocLNUsers);
  c.Add(15, 3, "Association LN", 11, 6, S({1, 2, 9, 10}), assocLNUsers);

  c.Add(17, 0, "SAP assignement", 2, 1, Upto(2), {"logical_name", "SAP_assignement_list"});
  c.Add(18, 0, "Image transfer", 7, 4, S({1, 2, 5}),
        {"logical_name", "image_block_size", "image_transferred_blocks_status",
         "image_first_not_transferred_block_number", "image_transfer_enabled",
         "image_transfer_status", "image_to_activate_info"});

  const Names localPort = {"logical_name", "default_mode", "default_baud",
                           "prop_baud",    "response_time", "device_addr",
                           "pass_p1",      "pass_p2",      "pass_w5"};
  c.Add(19, 0, "IEC local port setup", 9, 0, Upto(9), localPort);
  c.Add(19, 1, "IEC local port setup", 9, 0, Upto(9), localPort);

  c.Add(20, 0, "Activity calendar", 10, 1, Upto(10),
        {"logical_name", "calendar_name_active", "season_profile_active",
         "week_profile_table_active", "day_profile_table_active", "calendar_name_passive",
         "season_profile_passive", "week_profile_table_passive", "day_profile_table_passive",
         "activate_passive_calendar_time"});
  c.Add(21, 0, "Register monitor", 4, 0, Upto(4),
        {"logical_name", "thresholds", "monitored_value", "actions"});
  c.Add(22, 0, "Single action schedule", 4, 0, Upto(4),
        {"logical_name", "executed_script", "type", "execution_time"});
  c.Add(23, 0, "IEC HDLC setup", 9, 0, Upto(9),
        {"logical_name", "comm_speed", "window_size_transmit", "window_size_receive",
         "max_info_field_length_tramsmit", "max_info_field_length_receive",
         "inter_octet_time_out", "inactivity_time_out", "device_address"});
  c.Add(23, 1, "IEC HDLC setup", 9, 0, Upto(9),
        {"logical_name", "comm_speed", "window_size_transmit", "window_size_receive",
         "max_info_field_length_transmit", "max_info_field_length_receive",
         "inter_octet_time_out", "inactivity_time_out", "device_address"});
  c.Add(24, 0, "IEC Twisted Pair (1) setup", 5, 0, Upto(4),
        {"logical_name", "secondary_address", "primary_address_list", "tabi_list",
         "fatal_error"});
  c.Add(24, 1, "IEC Twisted Pair (1) setup", 6, 0, Upto(5),
        {"logical_name", "mode", "comm_speed", "primary_address_list", "tabi_list",
         "fatal_error"});
  c.Add(25, 0, "M-Bus slave port setup", 5, 0, Upto(3),
        {"logical_name", "default_baud", "avail_baud", "addr_state", "bus_address"});
  c.Add(26, 0, "Utility tables", 4, 0, Upto(2), {"logical_name", "table_ID", "length", "buffer"});

  const Names modem = {"logical_name", "comm_speed", "initialization_string", "modem_profile"};
  c.Add(27, 0, "PSTN Modem configuration", 4, 0, Upto(4), modem);
  c.Add(27, 1, "Modem configuration", 4, 0, Upto(4), modem);

  const Names autoAnswer = {"logical_name", "mode",            "listening_window",
                            "status",       "number_of_calls", "number_of_rings"};
  c.Add(28, 0, "Auto answer", 6, 0, S({1, 2, 3, 5, 6}), autoAnswer);
  c.Add(28, 2, "Auto answer", 7, 0, S({1, 2, 3, 5, 6, 7}),
        Join(autoAnswer, {"list_of_allowed_callers"}));

  const Names autoDial = {"logical_name", "mode", "repetitions", "repetition_delay",
                          "calling_window"};
  c.Add(29, 0, "PSTN auto dial", 6, 0, Upto(6), Join(autoDial, {"phone_list"}));
  c.Add(29, 1, "Auto connect", 6, 0, Upto(6), Join(autoDial, {"destination_list"}));
  c.Add(29, 2, "Auto connect", 6, 1, Upto(6), Join(autoDial, {"destination_list"}));

  c.Add(30, 0, "Data Protection", 6, 3, S({1, 3, 4, 5, 6}),
        {"logical_name", "protection_buffer", "protection_object_list",
         "protection_parameters_get", "protection_parameters_set", "required_protection"});

  const Names push = {"logical_name",
                      "push_object_list",
                      "send_destination_and_method",
                      "communication_window",
                      "randomisation_start_interval",
                      "number_of_retries",
                      "repetition_delay"};
  c.Add(40, 0, "Push setup", 7, 1, Upto(7), push);
  c.Add(40, 1, "Push setup", 7, 1, Upto(7), push);
  c.Add(40, 2, "Push setup", 13, 2, Upto(12),
        Join(push, {"port_reference", "push_client_SAP", "push_protection_parameters",
                    "push_operation_method", "confirmation_parameters",
                    "last_confirmation_date_time"}));

  c.Add(41, 0, "TCP-UDP setup", 6, 0, Upto(6),
        {"logical_name", "TCP-UDP_port", "IP_reference", "MSS", "nb_of_sim_conn",
         "inactivity_time_out"});
  c.Add(42, 0, "IPv4 setup", 10, 3, S({1, 2, 4, 5, 6, 7, 8, 9, 10}),
        {"logical_name", "DL_reference", "IP_address", "multicast_IP_address", "IP_options",
         "subnet_mask", "gateway_IP_address", "use_DHCP_flag", "primary_DNS_address",
         "secondary_DNS_address"});
  c.Add(43, 0, "MAC address setup", 2, 0, Upto(2), {"logical_name", "MAC_address"});
  c.Add(44, 0, "PPP setup", 5, 0, Upto(5),
        {"logical_name", "PHY_reference", "LCP_options", "IPCP_options", "PPP_authentication"});
  c.Add(45, 0, "GPRS modem setup", 4, 0, Upto(4),
        {"logical_name", "APN", "PIN_code", "quality_of_service"});
  c.Add(46, 0, "SMTP setup", 6, 0, Upto(6),
        {"logical_name", "server_port", "user_name", "login_password", "server_address",
         "sender_address"});

  const Names gsm = {"logical_name", "operator",  "status",         "cs_attachment",
                     "ps_status",    "cell_info", "adjacent_cells", "capture_time"};
  c.Add(47, 0, "GSM diagnostic", 8, 0, S({1}), gsm);
  c.Add(47, 1, "GSM diagnostic", 8, 0, S({1}), gsm);
  c.Add(47, 2, "GSM diagnostic", 8, 0, S({1}), gsm);

  c.Add(48, 0, "IPv6 setup", 10, 2, S({1, 2, 3, 5, 7, 8, 9, 10}),
        {"logical_name", "DL_reference", "address_config_mode", "unicast_IPv6_addresses",
         "multicast_IPv6_addresses", "gateway_IPv6_addresses", "primary_DNS_address",
         "secondary_DNS_address", "traffic_class", "neighbor_discovery_setup"});

  const Names sfskPhyMac = {"logical_name",
                            "initiator_electrical_phase",
                            "delta_electrical_phase",
                            "max_receiving_gain",
                            "max_transmitting_gain",
                            "search_initiator_threshold",
                            "frequencies",
                            "mac_address",
                            "mac_group_addresses",
                            "repeater",
                            "repeater_status",
                            "min_delta_credit",
                            "initiator_mac_address",
                            "synchronization_locked"};
  const TAttributeSet sfskPhyMacStatic = S({1, 2, 4, 5, 6, 7, 9, 10});
  c.Add(50, 0, "S-FSK Phy&MAC setup", 14, 0, sfskPhyMacStatic, sfskPhyMac);
  c.Add(50, 1, "S-FSK Phy&MAC setup", 15, 0, sfskPhyMacStatic | S({15}),
        Join(sfskPhyMac, {"transmission_speed"}));
  c.Add(51, 0, "S-FSK Active initiator", 2, 1, S({1}), {"logical_name", "active_initiator"});
  c.Add(52, 0, "S-FSK MAC synchronization timeouts", 5, 0, Upto(5),
        {"logical_name", "search_initiator_timeout", "synchronization_confirmation_timeout",
         "time_out_not_addressed", "time_out_frame_not_OK"});
  c.Add(53, 0, "S-FSK MAC counters", 8, 1, S({1}),
        {"logical_name", "synchronization_register", "desynchronization_listing",
         "broadcast_frames_counter", "repetitions_counter", "transmissions_counter",
         "CRC_OK_frames_counter", "CRC_NOK_frames_counter"});

  const Names llc432 = {"logical_name", "max_frame_length", "reply_status_list"};
  c.Add(55, 0, "S-FSK IEC 61334-4-32 LLC setup", 3, 0, Upto(2), llc432);
  c.Add(55, 1, "IEC 61334-4-32 LLC setup", 3, 0, Upto(2), llc432);
  c.Add(56, 0, "S-FSK Reporting system list", 2, 0, S({1}),
        {"logical_name", "reporting_system_list"});
  c.Add(57, 0, "ISO/IEC 8802-2 LLC Type 1 setup", 2, 0, Upto(2),
        {"logical_name", "max_octets_ui_pdu"});
  c.Add(58, 0, "ISO/IEC 8802-2 LLC Type 2 setup", 9, 0, Upto(9),
        {"logical_name", "transmit_window_size_k", "transmit_window_size_rw",
         "max_octets_i_pdu_n1", "max_number_transmissions_n2", "acknowledgement_timer",
         "bit_timer", "rejection_timer", "busy_state_timer"});
  c.Add(59, 0, "ISO/IEC 8802-2 LLC Type 3 setup", 6, 0, Upto(6),
        {"logical_name", "max_octets_ACn_pdu", "max_transmissions", "acknowledgement_time",
         "receive_lifetime", "transmit_lifetime"});

  c.Add(61, 0, "Register table", 4, 2, S({1, 3, 4}),
        {"logical_name", "table_cell_values", "table_cell_definition", "scaler_unit"});
  const Names compact = {"logical_name",  "compact_buffer",       "capture_objects",
                         "template_id",   "template_description", "capture_method"};
  c.Add(62, 0, "Compact data", 6, 2, S({1, 3, 4, 5, 6}), compact);
  c.Add(62, 1, "Compact data", 6, 2, S({1, 3, 4, 5, 6}), compact);
  c.Add(63, 0, "Status mapping", 3, 0, S({1, 3}),
        {"logical_name", "status_word", "mapping_table"});

  const Names security = {"logical_name", "security_policy", "security_suite",
                          "client_system_title", "server_system_title"};
  c.Add(64, 0, "Security setup", 5, 2, S({1, 2, 3, 5}), security);
  c.Add(64, 1, "Security setup", 6, 8, S({1, 2, 3, 5}), Join(security, {"certificates"}));

  const Names paramMonitor = {"logical_name", "changed_parameter", "capture_time",
                              "parameter_list"};
  c.Add(65, 0, "Parameter monitor", 4, 2, S({1, 4}), paramMonitor);
  c.Add(65, 1, "Parameter monitor", 4, 2, S({1, 4}), paramMonitor);

  c.Add(67, 0, "Sensor manager", 15, 1, S({1, 2, 3, 4, 5, 6, 8, 11, 12, 14, 15}),
        {"logical_name", "serial_number", "metrological_identification", "output_type",
         "adjustment_method", "sealing_method", "raw_value", "scaler_unit", "status",
         "capture_time", "raw_value_thresholds", "raw_value_actions", "processed_value",
         "processed_value_thresholds", "processed_value_actions"});
  c.Add(68, 0, "Arbitrator", 6, 2, Upto(4),
        {"logical_name", "actions", "permissions_table", "weightings_table",
         "most_recent_requests_table", "last_outcome"});
  c.Add(70, 0, "Disconnect control", 4, 2, S({1, 4}),
        {"logical_name", "output_state", "control_state", "control_mode"});
  c.Add(71, 0, "Limiter", 11, 0, S({1, 2, 4, 5, 6, 7, 8, 9, 11}),
        {"logical_name", "monitored_value", "threshold_active", "threshold_normal",
         "threshold_emergency", "min_over_threshold_duration", "min_under_threshold_duration",
         "emergency_profile", "emergency_profile_group_id_list", "emergency_profile_active",
         "actions"});

  const Names mbusClient = {"logical_name",          "mbus_port_reference",
                            "capture_definition",    "capture_period",
                            "primary_address",       "identification_number",
                            "manufacturer_id",       "version",
                            "device_type",           "access_number",
                            "status",                "alarm"};
  const Names mbusClientKeys = Join(mbusClient, {"configuration", "encryption_key_status"});
  c.Add(72, 0, "M-Bus client", 12, 8, Upto(4), mbusClient);
  c.Add(72, 1, "M-Bus client", 14, 8, Upto(4), mbusClientKeys);
  c.Add(72, 2, "M-Bus client", 14, 8, Upto(4), mbusClientKeys);
  c.Add(73, 1, "Wireless Mode Q channel", 3, 0, S({1}),
        {"logical_name", "addr_state", "device_address"});
  c.Add(74, 0, "M-Bus master port setup", 2, 0, Upto(2), {"logical_name", "comm_speed"});
  c.Add(76, 0, "DLMS/COSEM server M-Bus port setup", 11, 0, S({1, 2, 4, 5, 6, 7, 8, 9, 10, 11}),
        {"logical_name", "M-Bus_profile_selection", "port_communication_status",
         "data_header_type", "primary_address", "identification_number", "manufacturer_id",
         "M-Bus_version", "device_type", "max_PDU_size", "listening_window"});
  c.Add(77, 0, "M-Bus diagnostic", 9, 1, S({1, 3}),
        {"logical_name", "received_signal_strength", "channel_id", "link_status",
         "broadcast_frames_counter", "transmissions_counter", "FCS_OK_frames_counter",
         "FCS_NOK_frames_counter", "capture_time"});

  c.Add(80, 0, "61334-4-32 LLC SSCS setup", 3, 1, S({1}),
        {"logical_name", "service_node_address", "base_node_address"});
  c.Add(81, 0, "PRIME NB OFDM PLC Physical layer counters", 5, 1, S({1}),
        {"logical_name", "phy_crc_incorrect_count", "phy_crc_failed_count", "phy_tx_drop_count",
         "phy_rx_drop_count"});
  c.Add(82, 0, "PRIME NB OFDM PLC MAC setup", 8, 0, Upto(8),
        {"logical_name", "mac_min_switch_search_time", "mac_max_promotion_pdu",
         "mac_promotion_pdu_tx_period", "mac_beacons_per_frame", "mac_scp_max_tx_attempts",
         "mac_ctl_re_tx_timer", "mac_max_ctl_re_tx"});
  c.Add(83, 0, "PRIME NB OFDM PLC MAC functional parameters", 14, 0, S({1}),
        {"logical_name", "lnid", "lsid", "sid", "sna", "state", "scp_length",
         "node_hierarchy_level", "beacon_slot_count", "beacon_rx_slot", "beacon_tx_slot",
         "beacon_rx_frequency", "beacon_tx_frequency", "mac_capabilities"});
  c.Add(84, 0, "PRIME NB OFDM PLC MAC counters", 7, 1, S({1}),
        {"logical_name", "mac_tx_data_pkt_count", "mac_rx_data_pkt_count",
         "mac_tx_ctrl_pkt_count", "mac_rx_ctrl_pkt_count", "mac_csma_fail_count",
         "mac_csma_ch_busy_count"});
  c.Add(85, 0, "PRIME NB OFDM PLC MAC network administration data", 6, 1, S({1}),
        {"logical_name", "mac_list_multicast_entries", "mac_list_switch_table",
         "mac_list_direct_table", "mac_list_available_switches", "mac_list_phy_comm"});
  c.Add(86, 0, "PRIME NB OFDM PLC Applications identification", 4, 0, Upto(4),
        {"logical_name", "firmware_version", "vendor_id", "product_id"});

  // The hybrid RF counters below carry the same names with an "_RF" suffix.
  const Names g3Counters = {"mac_Tx_data_packet_count",    "mac_Rx_data_packet_count",
                            "mac_Tx_cmd_packet_count",     "mac_Rx_cmd_packet_count",
                            "mac_CSMA_fail_count",         "mac_CSMA_no_ACK_count",
                            "mac_bad_CRC_count",           "mac_Tx_data_broadcast_count",
                            "mac_Rx_data_broadcast_count"};
  c.Add(90, 1, "G3-PLC MAC layer counters", 10, 1, S({1}), Join({"logical_name"}, g3Counters));

  const Names g3Mac = {"logical_name",
                       "mac_short_address",
                       "mac_RC_coord",
                       "mac_PAN_id",
                       "mac_key_table",
                       "mac_frame_counter",
                       "mac_tone_mask",
                       "mac_TMR_TTL",
                       "mac_max_frame_retries",
                       "mac_neighbour_table_entry_TTL",
                       "mac_neighbour_table",
                       "mac_high_priority_window_size",
                       "mac_CSMA_fairness_limit",
                       "mac_beacon_randomization_window_length",
                       "mac_A",
                       "mac_K",
                       "mac_min_CW_attempts",
                       "mac_cenelec_legacy_mode",
                       "mac_FCC_legacy_mode",
                       "mac_max_BE",
                       "mac_max_CSMA_backoffs",
                       "mac_min_BE"};
  const Names g3MacV2 =
      Join(g3Mac, {"mac_broadcast_max_CW_enabled", "mac_transmit_atten", "mac_POS_table"});
  const TAttributeSet g3MacStatic = S({1, 5, 7, 8, 9, 10}) | AttributeRange(12, 22);
  c.Add(91, 1, "G3-PLC MAC setup", 22, 1, g3MacStatic, g3Mac);
  c.Add(91, 2, "G3-PLC MAC setup", 25, 1, g3MacStatic | S({23, 24}), g3MacV2);
  c.Add(91, 3, "G3-PLC MAC setup", 26, 1, g3MacStatic | S({23, 24, 26}),
        Join(g3MacV2, {"mac_duplicate_detection_TTL"}));

  const Names g3Adp = {"logical_name",
                       "adp_max_hops",
                       "adp_weak_LQI_value",
                       "adp_security_level",
                       "adp_prefix_table",
                       "adp_routing_configuration",
                       "adp_broadcast_log_table_entry_TTL",
                       "adp_routing_table",
                       "adp_context_information_table",
                       "adp_blacklist_table",
                       "adp_broadcast_log_table",
                       "adp_group_table",
                       "adp_max_join_wait_time",
                       "adp_path_discovery_time",
                       "adp_active_key_index",
                       "adp_metric_type",
                       "adp_coord_short_address",
                       "adp_disable_default_routing",
                       "adp_device_type"};
  const Names g3AdpV2 =
      Join(g3Adp, {"adp_default_coord_route_enabled", "adp_destination_address_set"});
  const Names g3AdpV3 = Join(g3AdpV2, {"adp_low_LQI_value", "adp_high_LQI_value"});
  const TAttributeSet g3AdpStatic = Upto(7) | S({9, 12, 13, 14, 15, 16, 18, 19});
  c.Add(92, 1, "G3-PLC 6LoWPAN adaptation layer setup", 19, 2, g3AdpStatic, g3Adp);
  c.Add(92, 2, "G3-PLC 6LoWPAN adaptation layer setup", 21, 2, g3AdpStatic | S({20, 21}),
        g3AdpV2);
  c.Add(92, 3, "G3-PLC 6LoWPAN adaptation layer setup", 23, 2,
        g3AdpStatic | AttributeRange(20, 23), g3AdpV3);

  c.Add(95, 0, "Wi-SUN setup", 14, 0, Upto(14),
        {"logical_name", "PAN_ID", "network_name", "routing_method", "regulatory_domain",
         "operating_class", "operating_mode", "channel_plan_id", "unicast_dwell_interval",
         "broadcast_dwell_interval", "broadcast_interval", "excluded_channels", "PAN_size",
         "use_parent_BS_IE"});
  c.Add(96, 0, "Wi-SUN diagnostics", 9, 1, S({1}),
        {"logical_name", "join_state", "parent_address", "parent_rssi_in", "parent_rssi_out",
         "routing_cost", "hop_count", "neighbour_list", "capture_time"});
  c.Add(97, 0, "RPL diagnostic", 9, 1, S({1}),
        {"logical_name", "rpl_ instance_id", "dodag_version_number", "dodag_rank", "grounded",
         "mode_of_operation", "dodag_prf", "dodag_dtsn", "dodag_id"});
  c.Add(98, 0, "MPL diagnostic", 13, 1, S({1}),
        {"logical name", "proactive_forwarding", "z", "tunit", "se_lifetime", "dm_k", "dm_imin",
         "dm_imax", "dm_t_exp", "c_k", "c_imin", "c_imax", "c_t_exp"});

  c.Add(100, 0, "NTP setup", 7, 3, Upto(7),
        {"logical_name", "activated", "server_address", "server_port", "authentication_method",
         "authentication_keys", "client_key"});
  c.Add(101, 0, "ZigBee SAS startup", 12, 0, Upto(12),
        {"logical_name", "short_address", "extended_pan_id", "pan_id", "channel_mask",
         "protocol_version", "stack_profile", "start_up_control", "trust_center_address",
         "link_key", "network_key", "use_insecure_join"});
  c.Add(102, 0, "ZigBee SAS join", 5, 0, Upto(5),
        {"logical_name", "scan_attempts", "time_between_scans", "rejoin_interval",
         "rejoin_retry_interval"});
  c.Add(103, 0, "ZigBee SAS APS fragmentation", 3, 0, Upto(3),
        {"logical_name", "aps_interframe_delay", "aps_max_window_size"});
  c.Add(104, 0, "ZigBee network control", 4, 11, Upto(3),
        {"logical_name", "enable_disable_joining", "join_timeout", "active_devices"});
  c.Add(105, 0, "ZigBee tunnel setup", 5, 0, Upto(5),
        {"logical_name", "max_incoming_transfer_size", "max_outgoing_transfer_size",
         "protocol_address", "close_tunnel_timeout"});

  c.Add(111, 0, "Account", 19, 3, S({1, 7}) | AttributeRange(9, 19),
        {"logical_name", "account_mode_and_status", "current_credit_in_use",
         "current_credit_status", "available_credit", "amount_to_clear", "clearance_threshold",
         "aggregated_debt", "credit_reference_list", "charge_reference_list",
         "credit_charge_configuration", "token_gateway_configuration",
         "account_activation_time", "account_closure_time", "currency", "low_credit_threshold",
         "next_credit_available_threshold", "max_provision", "max_provision_period"});
  c.Add(112, 0, "Credit", 11, 3, S({1, 3, 4, 5, 6, 7, 9, 10, 11}),
        {"logical_name", "current_credit_amount", "type", "priority", "warning_threshold",
         "limit", "credit_configuration", "status", "preset_credit_amount",
         "credit_available_threshold", "period"});
  c.Add(113, 0, "Charge", 13, 5, S({1, 3, 4, 6, 7, 8, 9, 13}),
        {"logical_name", "total_amount_paid", "charge_type", "priority", "unit_charge_active",
         "unit_charge_passive", "unit_charge_activation_time", "period", "charge_configuration",
         "last_collection_time", "last_collection_amount", "total_amount_remaining",
         "proportion"});
  c.Add(115, 0, "Token gateway", 6, 1, S({1}),
        {"logical_name", "token", "token_time", "token_description", "token_delivery_method",
         "token_status"});
  c.Add(116, 0, "IEC 62055-41 Attributes", 12, 0, Upto(12),
        {"logical_name", "meter_pan", "commodity", "token_carrier_types", "encryption_algorithm",
         "supply_group_code", "tariff_index", "key_revision_number", "key_type",
         "key_expiry_number", "no_of_kct_supported", "sts_certificate_no"});

  c.Add(122, 0, "Function control", 3, 3, S({1, 3}),
        {"logical_name", "activation_status", "function_list"});
  c.Add(123, 0, "Array manager", 2, 5, Upto(2), {"logical_name", "array_object_list"});
  c.Add(124, 0, "Communication port protection", 10, 1, Upto(7),
        {"logical_name", "protection_mode", "allowed_failed_attempts", "initial_lockout_time",
         "steepness_factor", "max_lockout_time", "port_reference", "protection_status",
         "failed_attempts", "cumulative_failed_attempts"});
  c.Add(126, 0, "SCHC LPWAN setup", 10, 0, Upto(10),
        {"logical_name", "schc_mode", "rule_id_size", "dtag_size", "window_size", "fcn_size",
         "max_packet_size", "retransmission_timer", "inactivity_timer", "max_ack_requests"});
  c.Add(127, 0, "SCHC LPWAN disgnostic", 9, 1, S({1}),
        {"logical_name", "packets_compressed", "packets_decompressed", "compression_errors",
         "decompression_errors", "fragments_sent", "fragments_received", "reassembly_errors",
         "capture_time"});
  c.Add(128, 0, "LoRaWAN setup", 10, 0, Upto(10),
        {"logical_name", "device_EUI", "join_EUI", "activation_mode", "ADR_enabled",
         "data_rate", "tx_power", "confirmed_uplink", "max_retransmissions", "duty_cycle"});
  c.Add(129, 0, "LoRaWAN diagnostic", 9, 1, S({1}),
        {"logical_name", "last_SNR", "last_RSSI", "uplink_frame_counter",
         "downlink_frame_counter", "join_count", "tx_count", "rx_count", "capture_time"});

  c.Add(130, 0, "ISO/IEC 14908 identification", 7, 0, Upto(7),
        {"logical_name", "neuron_id", "program_id", "location", "domain_id", "subnet",
         "node"});
  c.Add(131, 0, "ISO/IEC 14908 protocol setup", 9, 0, Upto(9),
        {"logical_name", "domain_id", "subnet", "node", "group_list", "transaction_timer",
         "repeat_timer", "retry_count", "channel_type"});
  c.Add(132, 0, "ISO/IEC 14908 protocol status", 5, 0, S({1}),
        {"logical_name", "node_state", "reset_cause", "error_log", "lock_state"});
  c.Add(133, 0, "ISO/IEC 14908 diagnostic", 13, 1, S({1}),
        {"logical_name", "transmission_errors", "transmit_tx_failures", "receive_tx_full",
         "lost_messages", "missed_messages", "layer_2_received", "layer_3_received",
         "layer_3_transmitted", "transmit_tx_retries", "backlog_overflows",
         "late_acknowledgements", "collisions"});

  c.Add(140, 0, "HS-PLC ISO/IEC 12139-1 MAC setup", 7, 0, Upto(7),
        {"logical_name", "mac_address", "mac_group_address", "mac_ssid", "mac_max_frame_length",
         "mac_max_retries", "mac_channel_access_mode"});
  c.Add(141, 0, "HS-PLC ISO/IEC 12139-1 CPAS setup", 5, 0, Upto(5),
        {"logical_name", "cpas_address", "cpas_gateway_address", "cpas_registration_period",
         "cpas_registration_timeout"});
  c.Add(142, 0, "HS-PLC ISO/IEC 12139-1 IP SSAS setup", 4, 0, Upto(4),
        {"logical_name", "dl_reference", "ip_reference", "ssas_service_access_point"});
  c.Add(143, 0, "HS-PLC ISO/IEC 12139-1 HDLC SSAS setup", 4, 0, Upto(4),
        {"logical_name", "dl_reference", "hdlc_reference", "ssas_service_access_point"});

  const Names lte = {"logical_name", "LTE_network_parameters", "LTE_quality_of_service"};
  c.Add(151, 0, "LTE monitoring", 3, 0, S({1}), lte);
  c.Add(151, 1, "LTE monitoring", 3, 0, S({1}), lte);

  Names g3RFCounters = {"logical_name"};
  for (const std::string& counter : g3Counters) g3RFCounters.push_back(counter + "_RF");
  c.Add(160, 0, "G3-PLC Hybrid RF MAC layer counters", 10, 1, S({1}), g3RFCounters);
  c.Add(161, 0, "G3-PLC Hybrid RF MAC setup", 20, 0,
        S({1, 3, 4, 5, 6, 7, 10, 11, 12}) | AttributeRange(14, 20),
        {"logical_name", "mac_DSN_RF", "mac_max_BE_RF", "mac_max_CSMA_backoffs_RF",
         "mac_max_frame_retries_RF", "mac_min_BE_RF", "mac_timestamp_support_RF",
         "mac_device_table_RF", "mac_frame_counter_RF", "mac_duplicate_detection_TTL_RF",
         "mac_EBSN_RF", "mac_beacon_randomization_window_length_RF", "mac_POS_table_RF",
         "mac_operating_mode_RF", "mac_channel_number_RF", "mac_duty_cycle_usage_RF",
         "mac_duty_cycle_period_RF", "mac_duty_cycle_limit_RF", "mac_duty_cycle_threshold_RF",
         "mac_disable_PHY_RF"});
  c.Add(162, 0, "G3-PLC Hybrid 6LoWPAN adaptation layer setup", 25, 2,
        g3AdpStatic | AttributeRange(20, 25),
        Join(g3AdpV3, {"adp_trickle_data_enabled", "adp_cluster_trickle_enabled"}));
}

}  // namespace quillon
