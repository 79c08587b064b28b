# The end-to-end scenarios, one table. Sourced by matrix.sh.
#
# scenario NAME key=value...
#   why=      what the scenario shows (printed when it runs)
#   groups=   prefixes it runs in: "win7", "win10" or "win7 win10" (default win7)
#   exe=      test (test-pinned build, default) or release
#   cloud=    what lies at C:\ProgramData\KORVEX Corporation\Stratoplay\STP32.dll:
#             - (nothing), dir, empty, garbage, or a signed fixture's name
#   client=   what lies beside the exe as StpRuntimeSdk.dll (same forms)
#   env=      what the fake libraries answer (STP_FAKE_INITIALIZE2,
#             STP_FAKE_IN_CLOUD, STP_FAKE_CLIENT_INITIALIZE)
#   stdout=   STP or {} : the report line, checked byte for byte with CR LF
#   calls=    the exact log of the fake libraries, "|" between lines
#   diag=     lines the diagnostic companion must print, "|" between them
#   nodiag=   lines it must not print, "|" between them
#             (every scenario: its nested-signer lines are the candidates the
#             probe's walk judged, in order, with the same verdicts, as a
#             traced build of the same probe reports them)
#   plant=    yes: a marker DLL under the name of every DLL the probe maps
#             (matrix.sh kPlantNames) planted beside the exe and in the working
#             directory (Wine told to prefer native copies of those names),
#             none of them may be loaded, and a control run shows that they can be
#   helper=   cwd or exe: stphelper.dll (imported by client-helper.dll, never
#             verified) in the working directory the probe starts from, or
#             beside the exe; with cwd a control run shows the standard search
#             would find it there
#   cloudlink= yes: the cloud folder "KORVEX Corporation" is a link to the real
#             folder "KORVEX Real" beside it
#   deadline= yes: the probe must end by its watchdog: after the deadline, and
#             within a few seconds of it; the companion (no deadline) is not run
#   control=  a fixture run first in the cloud copy's place, timed the same
#             way (after an untimed run): the scenario must answer within
#             kControlSlackSeconds of it
#   server=   yes: a loopback HTTP server listens at the URLs the url-* test
#             certificates name, logs every request and answers only after
#             30 s; no request may arrive (probe or companion) and the probe
#             must answer in its usual time
#
# The cloud copy, when accepted and initialised, answers "in the cloud", so a
# {} report with a refused cloud copy is the refusal's doing; client copies are
# judged with an accepted cloud copy whose stpInitializeRuntimeSdk2 returns 1,
# so that the client's own result decides the report.

# --- the runtime calls, as the fake libraries log them ------------------------------
C_UP="cloud attach|cloud stpInitializeRuntimeSdk2(1.6)"
C_ASK="cloud stpIsRunningInCloud()"
C_DOWN="cloud stpShutdownRuntimeSdk()|cloud detach"
K_UP="client attach|client stpInitializeRuntimeSdk(0)"
# The client copy stays loaded until the process ends, and the process ends
# without unload notifications: no "client detach".
K_DOWN="client stpShutdownRuntimeSdk()"
CALLS_ASKED="$C_UP|$K_UP|$C_ASK|$C_DOWN|$K_DOWN"
CALLS_NOT_ASKED="$C_UP|$K_UP|$C_DOWN|$K_DOWN"
CALLS_CLIENT_REFUSED="$C_UP|$C_DOWN"
CALLS_CLOUD_REFUSED="$K_UP|$K_DOWN"

# --- what the fake libraries answer --------------------------------------------------
ENV_CLOUD_DECIDES="STP_FAKE_INITIALIZE2=0 STP_FAKE_IN_CLOUD=1 STP_FAKE_CLIENT_INITIALIZE=0"
ENV_CLIENT_DECIDES="STP_FAKE_INITIALIZE2=1 STP_FAKE_IN_CLOUD=1 STP_FAKE_CLIENT_INITIALIZE=0"

# --- the companion's lines -----------------------------------------------------------
D_CLIENT_OK="client library verified load: accepted"
D_CLOUD_OK="cloud library verified load: accepted"
D_CLIENT_NO_MATCH="client library verified load: refused 0x80092009 CRYPT_E_NO_MATCH"
D_CLOUD_NO_MATCH="cloud library verified load: refused 0x80092009 CRYPT_E_NO_MATCH"
D_RESULT_OK="runtime result: 0 kRuntimeOk"
D_CLIENT_MISSING="runtime result: -2 kRuntimeClientLibraryMissing|client library loaded: no"
D_CLOUD_FAILED="cloud binding result: -14 kRuntimeCloudLoadFailed|runtime result: -14 kRuntimeCloudLoadFailed"
D_NO_TIMESTAMP="client library primary signer: refused, no time-stamp agreeing with the signing time"
D_CLIENT_UNSIGNED="client library primary signer: no embedded signature 0x80092009 CRYPT_E_NO_MATCH"
D_CLOUD_UNSIGNED="cloud library primary signer: no embedded signature 0x80092009 CRYPT_E_NO_MATCH"
# A signer whose certificates are not what the policy asks for: the names gate
# (client copy) or the pinned gate (names, keys, validity; cloud copy).
D_CLIENT_POLICY="client library primary signer: refused, signer names are not an allowed chain"
D_CLOUD_POLICY="cloud library primary signer: refused, certificates are not the pinned chain (names, keys or validity)"
# The pinned certificates' names and keys, but a link of the chain whose
# signature does not verify.
D_CLOUD_LINK="cloud library primary signer: refused, pinned chain, but a certificate was not signed by the one above it"

declare -A SCENARIO_DEF=()
SCENARIO_NAMES=()
scenario() {
  local name=$1
  shift
  SCENARIO_NAMES+=("$name")
  SCENARIO_DEF[$name]=$(printf '%q ' "$@")
}

# === accepted ======================================================================

scenario accepted.in_cloud groups="win7 win10" \
  why="pinned cloud copy, stpInitializeRuntimeSdk2 0, stpIsRunningInCloud 1" \
  cloud=cloud-pinned.dll client=client-c4-rfc3161.dll env="$ENV_CLOUD_DECIDES" \
  stdout=STP calls="$CALLS_ASKED" \
  diag="$D_CLIENT_OK|$D_CLOUD_OK|cloud library primary signer: accepted|cloud binding result: 0 kRuntimeOk|$D_RESULT_OK|in cloud: yes|answer: {\"cloud_platform\":\"STP\"}"

scenario accepted.in_cloud_low_byte_zero \
  why="stpIsRunningInCloud returns 0x100: only the low byte counts" \
  cloud=cloud-pinned.dll client=client-c4-rfc3161.dll \
  env="STP_FAKE_INITIALIZE2=0 STP_FAKE_IN_CLOUD=0x100 STP_FAKE_CLIENT_INITIALIZE=0" \
  stdout={} calls="$CALLS_ASKED" diag="$D_RESULT_OK|in cloud: no|answer: {}"

scenario accepted.client_decides \
  why="stpInitializeRuntimeSdk2 returns 1, the accepted client copy returns 0: asked" \
  cloud=cloud-pinned.dll client=client-c4-rfc3161.dll env="$ENV_CLIENT_DECIDES" \
  stdout=STP calls="$CALLS_ASKED" diag="$D_CLIENT_OK|client library primary signer: accepted|$D_RESULT_OK|in cloud: yes"

scenario accepted.client_result_passed_through \
  why="stpInitializeRuntimeSdk2 returns 1, the client copy returns 5: not asked" \
  cloud=cloud-pinned.dll client=client-c4-rfc3161.dll \
  env="STP_FAKE_INITIALIZE2=1 STP_FAKE_IN_CLOUD=1 STP_FAKE_CLIENT_INITIALIZE=5" \
  stdout={} calls="$CALLS_NOT_ASKED" diag="runtime result: 5 returned by the runtime library|in cloud: not asked"

scenario accepted.cloud_result_passed_through \
  why="stpInitializeRuntimeSdk2 returns 7: its result counts, the client copy is still initialised" \
  cloud=cloud-pinned.dll client=client-c4-rfc3161.dll \
  env="STP_FAKE_INITIALIZE2=7 STP_FAKE_IN_CLOUD=1 STP_FAKE_CLIENT_INITIALIZE=0" \
  stdout={} calls="$CALLS_NOT_ASKED" diag="runtime result: 7 returned by the runtime library|in cloud: not asked"

scenario accepted.no_cloud_copy \
  why="no cloud copy: the client copy's 0 is the result, but nobody can be asked" \
  client=client-c4-rfc3161.dll env="$ENV_CLIENT_DECIDES" \
  stdout={} calls="$K_UP|$K_DOWN" \
  diag="cloud library present: no|cloud binding result: 1 kRuntimeClientOnly|$D_RESULT_OK|in cloud: not asked"

scenario accepted.client_counter_signature \
  why="client copy time-stamped by a legacy counter-signature one minute after signing" \
  cloud=cloud-pinned.dll client=client-c4-legacy.dll env="$ENV_CLIENT_DECIDES" \
  stdout=STP calls="$CALLS_ASKED" diag="$D_CLIENT_OK|client library primary signer: accepted"

scenario accepted.client_counter_signature_2s_early \
  why="counter-signature 2 s before the signing time: the most the rule allows" \
  cloud=cloud-pinned.dll client=client-legacy-2s-early.dll env="$ENV_CLIENT_DECIDES" \
  stdout=STP calls="$CALLS_ASKED" diag="$D_CLIENT_OK"

scenario accepted.client_timestamp_2s_early_same_minute \
  why="RFC 3161 genTime 12:00:28, signed 12:00:30: within T + 2" \
  cloud=cloud-pinned.dll client=client-ts-2s-early.dll env="$ENV_CLIENT_DECIDES" \
  stdout=STP calls="$CALLS_ASKED" diag="$D_CLIENT_OK"

scenario accepted.client_four_name_chain \
  why="chain 1: the signature carries all four certificates, so only the four-name chain fits" \
  cloud=cloud-pinned.dll client=client-c1-rfc3161.dll env="$ENV_CLIENT_DECIDES" \
  stdout=STP calls="$CALLS_ASKED" diag="$D_CLIENT_OK|client library primary signer: accepted"

scenario accepted.client_chain12_upper_case \
  why="chain 12: \"KORVEX CORPORATION\" under \"KORVEX Subordinate CA\"" \
  cloud=cloud-pinned.dll client=client-c12-rfc3161.dll env="$ENV_CLIENT_DECIDES" \
  stdout=STP calls="$CALLS_ASKED" diag="$D_CLIENT_OK"

scenario accepted.client_chain13_mixed_case \
  why="chain 13: \"Korvex Corporation\", SHA-1 leaf, trusted root carried, counter-signature" \
  cloud=cloud-pinned.dll client=client-c13-legacy.dll env="$ENV_CLIENT_DECIDES" \
  stdout=STP calls="$CALLS_ASKED" diag="$D_CLIENT_OK"

scenario accepted.client_nested_signer groups="win7 win10" \
  why="primary signer's names are not allowed; its nested signer is accepted" \
  cloud=cloud-pinned.dll client=client-nested.dll env="$ENV_CLIENT_DECIDES" \
  stdout=STP calls="$CALLS_ASKED" \
  diag="$D_CLIENT_OK|$D_CLIENT_POLICY|client library nested signer: accepted"

scenario accepted.cloud_nested_signer groups="win7 win10" \
  why="primary signer not the pinned chain; its nested signer, the pinned chain, is accepted" \
  cloud=cloud-nested.dll client=client-c4-rfc3161.dll env="$ENV_CLOUD_DECIDES" \
  stdout=STP calls="$CALLS_ASKED" \
  diag="$D_CLOUD_OK|$D_CLOUD_POLICY|cloud library nested signer: accepted"

# A genuine signature whose chain file listed the leaf twice: two byte-identical
# copies of the signer's certificate are one certificate.
scenario accepted.cloud_leaf_carried_twice groups="win7 win10" \
  why="pinned cloud copy whose signature carries its leaf twice, byte for byte" \
  cloud=cloud-leaf-twice.dll client=client-c4-rfc3161.dll env="$ENV_CLOUD_DECIDES" \
  stdout=STP calls="$CALLS_ASKED" diag="$D_CLOUD_OK|cloud library primary signer: accepted"

scenario accepted.client_leaf_carried_twice \
  why="client copy (chain 4) whose signature carries its leaf twice, byte for byte" \
  cloud=cloud-pinned.dll client=client-leaf-twice.dll env="$ENV_CLIENT_DECIDES" \
  stdout=STP calls="$CALLS_ASKED" diag="$D_CLIENT_OK|client library primary signer: accepted"

# === the client copy refused =======================================================

scenario refused.client_unsigned groups="win7 win10" \
  why="no embedded signature" \
  cloud=cloud-pinned.dll client=client-unsigned.dll env="$ENV_CLIENT_DECIDES" \
  stdout={} calls="$CALLS_CLIENT_REFUSED" \
  diag="$D_CLIENT_NO_MATCH|$D_CLIENT_UNSIGNED|$D_CLIENT_MISSING"

scenario refused.client_one_byte_changed \
  why="one byte of the signed image changed afterwards" \
  cloud=cloud-pinned.dll client=client-one-byte.dll env="$ENV_CLIENT_DECIDES" \
  stdout={} calls="$CALLS_CLIENT_REFUSED" \
  diag="$D_CLIENT_NO_MATCH|client library primary signer: refused 0x80096010 TRUST_E_BAD_DIGEST|$D_CLIENT_MISSING"

scenario refused.client_wrong_name \
  why="\"Korvex Corporation\" under the Sentrix CA: no allowed chain lists it" \
  cloud=cloud-pinned.dll client=client-wrong-name.dll env="$ENV_CLIENT_DECIDES" \
  stdout={} calls="$CALLS_CLIENT_REFUSED" \
  diag="$D_CLIENT_NO_MATCH|$D_CLIENT_POLICY|$D_CLIENT_MISSING"

# Look-alikes of an allowed company name, each issued under a CA of a chain that
# allows that name: an 8-bit rendering of the name (best-fit K, I) or a reading
# that stops at the NUL would take it for the allowed one. Only the exact name
# counts: refused by the names alone (the trust provider lets each through),
# never mapped (no "client attach").
scenario refused.client_kelvin_sign_name groups="win7 win10" \
  why="\"KORVEX Corporation\" with KELVIN SIGN U+212A for the K, under the Sentrix CA" \
  cloud=cloud-pinned.dll client=client-kelvin-name.dll env="$ENV_CLIENT_DECIDES" \
  stdout={} calls="$CALLS_CLIENT_REFUSED" diag="$D_CLIENT_NO_MATCH|$D_CLIENT_POLICY|$D_CLIENT_MISSING"

scenario refused.client_fullwidth_k_name \
  why="\"KORVEX Corporation\" with FULLWIDTH K U+FF2B, under the Sentrix CA" \
  cloud=cloud-pinned.dll client=client-fullwidth-name.dll env="$ENV_CLIENT_DECIDES" \
  stdout={} calls="$CALLS_CLIENT_REFUSED" diag="$D_CLIENT_NO_MATCH|$D_CLIENT_POLICY|$D_CLIENT_MISSING"

scenario refused.client_dotless_i_name \
  why="\"Korvex Corporat\" DOTLESS I U+0131 \"on\", under the Certivo CA" \
  cloud=cloud-pinned.dll client=client-dotless-name.dll env="$ENV_CLIENT_DECIDES" \
  stdout={} calls="$CALLS_CLIENT_REFUSED" diag="$D_CLIENT_NO_MATCH|$D_CLIENT_POLICY|$D_CLIENT_MISSING"

scenario refused.client_nul_suffixed_name groups="win7 win10" \
  why="\"KORVEX Corporation\" NUL \".anything\", under the Sentrix CA" \
  cloud=cloud-pinned.dll client=client-nul-name.dll env="$ENV_CLIENT_DECIDES" \
  stdout={} calls="$CALLS_CLIENT_REFUSED" diag="$D_CLIENT_NO_MATCH|$D_CLIENT_POLICY|$D_CLIENT_MISSING"

scenario refused.client_pinned_chain_names \
  why="the cloud copy's pinned chain is no allowed name chain for the client copy" \
  cloud=cloud-pinned.dll client=client-pinned-chain.dll env="$ENV_CLIENT_DECIDES" \
  stdout={} calls="$CALLS_CLIENT_REFUSED" \
  diag="$D_CLIENT_NO_MATCH|$D_CLIENT_POLICY|$D_CLIENT_MISSING"

scenario refused.client_untrusted_root \
  why="allowed names (chain 6) and a good time-stamp, but a root nobody trusts (SHA-1 leaf)" \
  cloud=cloud-pinned.dll client=client-untrusted-root.dll env="$ENV_CLIENT_DECIDES" \
  stdout={} calls="$CALLS_CLIENT_REFUSED" \
  diag="$D_CLIENT_NO_MATCH|client library primary signer: refused 0x800b0109 CERT_E_UNTRUSTEDROOT|$D_CLIENT_MISSING"

scenario refused.client_no_timestamp \
  why="allowed names, no time-stamp of either kind" \
  cloud=cloud-pinned.dll client=client-no-timestamp.dll env="$ENV_CLIENT_DECIDES" \
  stdout={} calls="$CALLS_CLIENT_REFUSED" diag="$D_CLIENT_NO_MATCH|$D_NO_TIMESTAMP|$D_CLIENT_MISSING"

scenario refused.client_timestamp_minute_early \
  why="RFC 3161 genTime a minute before the signing time" \
  cloud=cloud-pinned.dll client=client-ts-minute-early.dll env="$ENV_CLIENT_DECIDES" \
  stdout={} calls="$CALLS_CLIENT_REFUSED" diag="$D_CLIENT_NO_MATCH|$D_NO_TIMESTAMP|$D_CLIENT_MISSING"

scenario refused.client_timestamp_3s_early \
  why="RFC 3161 genTime 12:00:27, signed 12:00:30: beyond T + 2" \
  cloud=cloud-pinned.dll client=client-ts-3s-early.dll env="$ENV_CLIENT_DECIDES" \
  stdout={} calls="$CALLS_CLIENT_REFUSED" diag="$D_CLIENT_NO_MATCH|$D_NO_TIMESTAMP|$D_CLIENT_MISSING"

scenario refused.client_timestamp_1s_other_minute \
  why="RFC 3161 genTime 12:00:59, signed 12:01:00: one second, but another minute" \
  cloud=cloud-pinned.dll client=client-ts-1s-other-minute.dll env="$ENV_CLIENT_DECIDES" \
  stdout={} calls="$CALLS_CLIENT_REFUSED" diag="$D_CLIENT_NO_MATCH|$D_NO_TIMESTAMP|$D_CLIENT_MISSING"

scenario refused.client_counter_signature_3s_early \
  why="counter-signature 3 s before the signing time" \
  cloud=cloud-pinned.dll client=client-legacy-3s-early.dll env="$ENV_CLIENT_DECIDES" \
  stdout={} calls="$CALLS_CLIENT_REFUSED" diag="$D_CLIENT_NO_MATCH|$D_NO_TIMESTAMP|$D_CLIENT_MISSING"

scenario refused.client_decoy_intermediate groups="win7 win10" \
  why="a leaf from an unlisted CA, carried with a decoy of an allowed CA's name and the real issuer's key id" \
  cloud=cloud-pinned.dll client=client-decoy.dll env="$ENV_CLIENT_DECIDES" \
  stdout={} calls="$CALLS_CLIENT_REFUSED" diag="$D_CLIENT_NO_MATCH|$D_CLIENT_POLICY|$D_CLIENT_MISSING"

scenario refused.client_nested_signer_refused \
  why="primary signer's names not allowed, nested signer without a time-stamp" \
  cloud=cloud-pinned.dll client=client-nested-refused.dll env="$ENV_CLIENT_DECIDES" \
  stdout={} calls="$CALLS_CLIENT_REFUSED" diag="$D_CLIENT_NO_MATCH|$D_CLIENT_POLICY|$D_CLIENT_MISSING"

# A nested signature counts only when it verifies, signs this very file and
# chains to a root the machine trusts. Each primary below is signed by a
# trusted certificate whose names no policy allows.
scenario refused.client_nested_lifted groups="win7 win10" \
  why="nested signature lifted from a genuinely signed client copy onto another image" \
  cloud=cloud-pinned.dll client=client-nested-lifted.dll env="$ENV_CLIENT_DECIDES" \
  stdout={} calls="$CALLS_CLIENT_REFUSED" \
  diag="$D_CLIENT_NO_MATCH|$D_CLIENT_POLICY|client library nested signer: refused, does not sign this file|$D_CLIENT_MISSING"

scenario refused.client_nested_forged groups="win7 win10" \
  why="nested signature made for the file by the allowed names under a root nobody trusts" \
  cloud=cloud-pinned.dll client=client-nested-forged.dll env="$ENV_CLIENT_DECIDES" \
  stdout={} calls="$CALLS_CLIENT_REFUSED" \
  diag="$D_CLIENT_NO_MATCH|$D_CLIENT_POLICY|client library nested signer: refused, chain does not verify|$D_CLIENT_MISSING"

# Two nested signatures, the look-alike one first in the attribute's set (the
# fixture checks the order): the walk judges that one and, its step not landing
# on the second, stops; the companion says so and no more.
scenario refused.client_two_nested_first_unallowed groups="win7 win10" \
  why="two nested signatures, the unallowed one first; the walk does not reach the allowed one" \
  cloud=cloud-pinned.dll client=client-two-nested.dll env="$ENV_CLIENT_DECIDES" \
  stdout={} calls="$CALLS_CLIENT_REFUSED" \
  diag="$D_CLIENT_NO_MATCH|$D_CLIENT_POLICY|client library nested signer: refused, chain verifies but is not an allowed chain|$D_CLIENT_MISSING" \
  nodiag="client library nested signer: accepted"

scenario refused.client_nested_content_changed groups="win7 win10" \
  why="the nested signature's image digest changed after signing: its message digest fails" \
  cloud=cloud-pinned.dll client=client-nested-content-changed.dll env="$ENV_CLIENT_DECIDES" \
  stdout={} calls="$CALLS_CLIENT_REFUSED" \
  diag="$D_CLIENT_NO_MATCH|$D_CLIENT_POLICY|client library nested signer: refused, signature does not verify|$D_CLIENT_MISSING"

scenario refused.client_garbage \
  why="bytes that are no PE file, named as the library" \
  cloud=cloud-pinned.dll client=garbage env="$ENV_CLIENT_DECIDES" \
  stdout={} calls="$CALLS_CLIENT_REFUSED" diag="$D_CLIENT_NO_MATCH|$D_CLIENT_UNSIGNED|$D_CLIENT_MISSING"

scenario refused.client_zero_length \
  why="a zero-length file named as the library" \
  cloud=cloud-pinned.dll client=empty env="$ENV_CLIENT_DECIDES" \
  stdout={} calls="$CALLS_CLIENT_REFUSED" diag="$D_CLIENT_NO_MATCH|$D_CLIENT_UNSIGNED|$D_CLIENT_MISSING"

scenario refused.client_directory \
  why="a directory named as the library" \
  cloud=cloud-pinned.dll client=dir env="$ENV_CLIENT_DECIDES" \
  stdout={} calls="$CALLS_CLIENT_REFUSED" \
  diag="client library present: a directory|client library verified load: refused 0x0000007e ERROR_MOD_NOT_FOUND|$D_CLIENT_MISSING"

scenario refused.client_absent \
  why="no client copy at all" \
  cloud=cloud-pinned.dll client=- env="$ENV_CLIENT_DECIDES" \
  stdout={} calls="$CALLS_CLIENT_REFUSED" \
  diag="client library present: no|client library verified load: not tried (no file)|$D_CLIENT_MISSING"

# === the cloud copy refused ========================================================

scenario refused.cloud_unsigned groups="win7 win10" \
  why="no embedded signature" \
  cloud=cloud-unsigned.dll client=client-c4-rfc3161.dll env="$ENV_CLOUD_DECIDES" \
  stdout={} calls="$CALLS_CLOUD_REFUSED" \
  diag="$D_CLOUD_NO_MATCH|$D_CLOUD_UNSIGNED|$D_CLOUD_FAILED"

scenario refused.cloud_one_byte_changed \
  why="one byte of the signed image changed afterwards" \
  cloud=cloud-one-byte.dll client=client-c4-rfc3161.dll env="$ENV_CLOUD_DECIDES" \
  stdout={} calls="$CALLS_CLOUD_REFUSED" \
  diag="$D_CLOUD_NO_MATCH|cloud library primary signer: refused 0x80096010 TRUST_E_BAD_DIGEST|$D_CLOUD_FAILED"

scenario refused.cloud_wrong_pinned_key \
  why="the four pinned names, but an L1 intermediate with another key" \
  cloud=cloud-wrong-key.dll client=client-c4-rfc3161.dll env="$ENV_CLOUD_DECIDES" \
  stdout={} calls="$CALLS_CLOUD_REFUSED" diag="$D_CLOUD_NO_MATCH|$D_CLOUD_POLICY|$D_CLOUD_FAILED"

scenario refused.cloud_wrong_name \
  why="leaf \"STP SDK - Code Signing Leaf (test)\" under the pinned zone CA" \
  cloud=cloud-wrong-name.dll client=client-c4-rfc3161.dll env="$ENV_CLOUD_DECIDES" \
  stdout={} calls="$CALLS_CLOUD_REFUSED" diag="$D_CLOUD_NO_MATCH|$D_CLOUD_POLICY|$D_CLOUD_FAILED"

scenario refused.cloud_expired \
  why="the pinned leaf name, valid during 2020 only; signed while it was valid" \
  cloud=cloud-expired.dll client=client-c4-rfc3161.dll env="$ENV_CLOUD_DECIDES" \
  stdout={} calls="$CALLS_CLOUD_REFUSED" diag="$D_CLOUD_NO_MATCH|$D_CLOUD_POLICY|$D_CLOUD_FAILED"

scenario refused.cloud_named_chain \
  why="a signature the client copy's policy accepts is not the pinned chain" \
  cloud=cloud-named-chain.dll client=client-c4-rfc3161.dll env="$ENV_CLOUD_DECIDES" \
  stdout={} calls="$CALLS_CLOUD_REFUSED" diag="$D_CLOUD_NO_MATCH|$D_CLOUD_POLICY|$D_CLOUD_FAILED"

scenario refused.cloud_nested_lifted groups="win7 win10" \
  why="nested signature lifted from the pinned-signed cloud copy onto another image" \
  cloud=cloud-nested-lifted.dll client=client-c4-rfc3161.dll env="$ENV_CLOUD_DECIDES" \
  stdout={} calls="$CALLS_CLOUD_REFUSED" \
  diag="$D_CLOUD_NO_MATCH|$D_CLOUD_POLICY|cloud library nested signer: refused, does not sign this file|$D_CLOUD_FAILED"

# Hundreds of nested signatures made for the planted file, each one's
# signature and image digest good, each refused only by its chain; the walk's
# step reaches every one (see the fixture facts). One load judges a few.
scenario refused.cloud_many_nested groups="win7 win10" \
  why="500 self-made nested signatures on a planted cloud copy: refused within seconds of one" \
  cloud=cloud-many-nested.dll control=cloud-one-nested.dll client=client-c4-rfc3161.dll \
  env="$ENV_CLOUD_DECIDES" stdout={} calls="$CALLS_CLOUD_REFUSED" \
  diag="$D_CLOUD_NO_MATCH|$D_CLOUD_POLICY|cloud library nested signer: refused, chain does not verify|$D_CLOUD_FAILED"

scenario refused.cloud_nested_forged groups="win7 win10" \
  why="nested signer and zone CA forged by name under the genuine pinned L1 and root" \
  cloud=cloud-nested-forged.dll client=client-c4-rfc3161.dll env="$ENV_CLOUD_DECIDES" \
  stdout={} calls="$CALLS_CLOUD_REFUSED" \
  diag="$D_CLOUD_NO_MATCH|$D_CLOUD_POLICY|cloud library nested signer: refused, chain does not verify|$D_CLOUD_FAILED"

scenario refused.cloud_garbage \
  why="bytes that are no PE file, named as the library" \
  cloud=garbage client=client-c4-rfc3161.dll env="$ENV_CLOUD_DECIDES" \
  stdout={} calls="$CALLS_CLOUD_REFUSED" diag="$D_CLOUD_NO_MATCH|$D_CLOUD_UNSIGNED|$D_CLOUD_FAILED"

scenario refused.cloud_zero_length \
  why="a zero-length file named as the library" \
  cloud=empty client=client-c4-rfc3161.dll env="$ENV_CLOUD_DECIDES" \
  stdout={} calls="$CALLS_CLOUD_REFUSED" diag="$D_CLOUD_NO_MATCH|$D_CLOUD_UNSIGNED|$D_CLOUD_FAILED"

scenario refused.cloud_directory \
  why="a directory named as the library" \
  cloud=dir client=client-c4-rfc3161.dll env="$ENV_CLOUD_DECIDES" \
  stdout={} calls="$CALLS_CLOUD_REFUSED" \
  diag="cloud library present: a directory|cloud library verified load: refused 0x0000007e ERROR_MOD_NOT_FOUND|$D_CLOUD_FAILED"

scenario refused.cloud_no_initialize2 \
  why="accepted cloud copy without stpInitializeRuntimeSdk2: bound, then unloaded, -17" \
  cloud=cloud-no-init2-pinned.dll client=client-c4-rfc3161.dll env="$ENV_CLOUD_DECIDES" \
  stdout={} calls="cloud attach|cloud detach|$K_UP|$K_DOWN" \
  diag="$D_CLOUD_OK|cloud binding result: -17 kRuntimeEntryPointMissing|cloud library bound: no|runtime result: -17 kRuntimeEntryPointMissing"

scenario refused.cloud_forged_zone_ca groups="win7 win10" \
  why="a zone CA of the pinned name claiming the genuine L1 as issuer, signed by another key" \
  cloud=cloud-forged-zone.dll client=client-c4-rfc3161.dll env="$ENV_CLOUD_DECIDES" \
  stdout={} calls="$CALLS_CLOUD_REFUSED" diag="$D_CLOUD_NO_MATCH|$D_CLOUD_LINK|$D_CLOUD_FAILED"

scenario refused.cloud_forged_zone_ca_user_root groups="win7 win10" \
  why="the same forgery with a root of the zone CA's name in the user's own root store" \
  cloud=cloud-forged-zone-user-root.dll client=client-c4-rfc3161.dll env="$ENV_CLOUD_DECIDES" \
  stdout={} calls="$CALLS_CLOUD_REFUSED" diag="$D_CLOUD_NO_MATCH|$D_CLOUD_LINK|$D_CLOUD_FAILED"

scenario refused.cloud_issuer_only_by_url groups="win7 win10" server=yes \
  why="the leaf's issuer is reachable only through the URL it names: nothing is fetched, no stall" \
  cloud=cloud-url-hidden-issuer.dll client=client-c4-rfc3161.dll env="$ENV_CLOUD_DECIDES" \
  stdout={} calls="$CALLS_CLOUD_REFUSED" diag="$D_CLOUD_NO_MATCH|$D_CLOUD_FAILED"

scenario accepted.cloud_pinned_with_urls groups="win7 win10" server=yes \
  why="a genuine pinned chain whose leaf names issuer, CRL and OCSP URLs: accepted, nothing fetched" \
  cloud=cloud-pinned-urls.dll client=client-c4-rfc3161.dll env="$ENV_CLOUD_DECIDES" \
  stdout=STP calls="$CALLS_ASKED" diag="$D_CLOUD_OK|cloud library primary signer: accepted"

# === the release build =============================================================

scenario release.test_signed_cloud exe=release \
  why="the release exe pins the release chain: a test-signed cloud copy is refused" \
  cloud=cloud-pinned.dll client=client-c4-rfc3161.dll env="$ENV_CLOUD_DECIDES" \
  stdout={} calls="$CALLS_CLOUD_REFUSED" diag="pins: release|$D_CLOUD_NO_MATCH|$D_CLOUD_POLICY|$D_CLIENT_OK|$D_CLOUD_FAILED"

scenario release.unsigned_client exe=release \
  why="the release exe with an unsigned client copy and no cloud copy" \
  client=client-unsigned.dll env="$ENV_CLIENT_DECIDES" \
  stdout={} calls="" diag="pins: release|$D_CLIENT_NO_MATCH|$D_CLIENT_UNSIGNED|runtime result: -2 kRuntimeClientLibraryMissing"

# === planting ======================================================================

# Wine's Windows 7 prefix has the loader update (kernel32 exports
# AddDllDirectory), so both prefixes load system libraries with the
# System32-only search; the full-path branch is covered by the unit tests.
scenario planting.win7 groups=win7 plant=yes \
  why="every mapped DLL's name planted beside the exe and in the working directory (Windows 7)" \
  cloud=cloud-pinned.dll client=client-c4-rfc3161.dll env="$ENV_CLOUD_DECIDES" \
  stdout=STP calls="$CALLS_ASKED" diag="system build level: 9200|$D_CLOUD_OK|$D_CLIENT_OK"

scenario planting.win10 groups=win10 plant=yes \
  why="every mapped DLL's name planted beside the exe and in the working directory (Windows 10)" \
  cloud=cloud-pinned.dll client=client-c4-rfc3161.dll env="$ENV_CLOUD_DECIDES" \
  stdout=STP calls="$CALLS_ASKED" diag="system build level: 9200|$D_CLOUD_OK|$D_CLIENT_OK"

scenario planting.win7_refused_client groups=win7 plant=yes \
  why="planted names while a refused client copy is checked (no cloud copy)" \
  client=client-untrusted-root.dll env="$ENV_CLIENT_DECIDES" \
  stdout={} calls="" diag="system build level: 9200|$D_CLIENT_NO_MATCH"

# === what a runtime library brings with it ========================================

scenario helper.in_working_directory groups="win7 win10" helper=cwd \
  why="accepted client copy importing stphelper.dll, which lies only in the working directory" \
  cloud=cloud-pinned.dll client=client-helper.dll env="$ENV_CLIENT_DECIDES" \
  stdout={} calls="$CALLS_CLIENT_REFUSED" \
  diag="client library verified load: refused 0x0000007e ERROR_MOD_NOT_FOUND|$D_CLIENT_MISSING|dll search: system directory, runtime library dependencies also beside the exe"

scenario helper.beside_exe groups="win7 win10" helper=exe \
  why="the same client copy with stphelper.dll beside the exe: loaded, and the library initialises" \
  cloud=cloud-pinned.dll client=client-helper.dll env="$ENV_CLIENT_DECIDES" \
  stdout=STP calls="$C_UP|helper attach|client attach|client stpInitializeRuntimeSdk(0)|helper stpHelperHello()|$C_ASK|$C_DOWN|$K_DOWN" \
  diag="$D_CLIENT_OK"

# === one file from check to map ====================================================

scenario link.cloud_folder groups="win7 win10" cloudlink=yes \
  why="the cloud folder is a link to the real folder: verified and loaded by its real path" \
  cloud=cloud-pinned.dll client=client-c4-rfc3161.dll env="$ENV_CLOUD_DECIDES" \
  stdout=STP calls="$CALLS_ASKED" \
  diag='cloud library verified path: \\?\C:\ProgramData\KORVEX Real\Stratoplay\STP32.dll|cloud library verified load: accepted'

# === faults inside a runtime library ===============================================

scenario fault.cloud_init groups="win7 win10" \
  why="the cloud copy faults in stpInitializeRuntimeSdk2: {} and exit 0, nothing else" \
  cloud=cloud-pinned.dll client=client-c4-rfc3161.dll env="$ENV_CLOUD_DECIDES STP_FAKE_FAULT=cloud:init" \
  stdout={} calls="$C_UP|cloud fault"

scenario fault.cloud_question groups="win7 win10" \
  why="the cloud copy faults in stpIsRunningInCloud: {} and exit 0, nothing else" \
  cloud=cloud-pinned.dll client=client-c4-rfc3161.dll env="$ENV_CLOUD_DECIDES STP_FAKE_FAULT=cloud:question" \
  stdout={} calls="$C_UP|$K_UP|$C_ASK|cloud fault"

# Wine's loader catches a fault in DllMain itself and fails the load.
scenario fault.cloud_attach \
  why="the cloud copy faults in its DllMain while it is mapped: not loaded, {}" \
  cloud=cloud-pinned.dll client=client-c4-rfc3161.dll env="$ENV_CLOUD_DECIDES STP_FAKE_FAULT=cloud:attach" \
  stdout={} calls="cloud attach|cloud fault|cloud detach|$K_UP|$K_DOWN"

# The process ends with the report, before any unload notification, so the
# fault never comes (the unit tests show the filter adds nothing once the
# report is out); what counts is that the report stands.
scenario fault.client_detach_after_report \
  why="the client copy would fault in its DllMain at exit, after the report: the report stands, once, exit 0" \
  cloud=cloud-pinned.dll client=client-c4-rfc3161.dll env="$ENV_CLOUD_DECIDES STP_FAKE_FAULT=client:detach" \
  stdout=STP calls="$C_UP|$K_UP|$C_ASK|$C_DOWN|client stpShutdownRuntimeSdk()"

# A runtime library may replace the probe's guard with its own crash filter;
# the probe puts its own back after the load and after every call.
scenario fault.cloud_own_filter groups="win7 win10" \
  why="the cloud copy sets its own unhandled-exception filter when mapped, then faults in stpInitializeRuntimeSdk2" \
  cloud=cloud-pinned.dll client=client-c4-rfc3161.dll \
  env="$ENV_CLOUD_DECIDES STP_FAKE_OWN_FILTER=cloud STP_FAKE_FAULT=cloud:init" \
  stdout={} calls="cloud attach|cloud own filter set|cloud stpInitializeRuntimeSdk2(1.6)|cloud fault"

scenario fault.cloud_abort groups="win7 win10" \
  why="the cloud copy calls abort() in stpIsRunningInCloud: {} and exit 0, nothing else" \
  cloud=cloud-pinned.dll client=client-c4-rfc3161.dll \
  env="$ENV_CLOUD_DECIDES STP_FAKE_FAULT=cloud:question STP_FAKE_FAULT_KIND=abort" \
  stdout={} calls="$C_UP|$K_UP|$C_ASK|cloud abort"

# The companion has no deadline; it is not run here.
scenario deadline.cloud_init_never_returns groups="win7 win10" deadline=yes \
  why="the cloud copy's stpInitializeRuntimeSdk2 never returns: {} and exit 0 at the deadline" \
  cloud=cloud-pinned.dll client=client-c4-rfc3161.dll \
  env="$ENV_CLOUD_DECIDES STP_FAKE_FAULT=cloud:init STP_FAKE_FAULT_KIND=hang" \
  stdout={} calls="$C_UP|cloud hang"

# === the process to its end: a library's exit and output ==========================
# The probe ends its process once the report is out: no unload notification
# runs after it, and what a library writes goes to NUL.

scenario exit.client_unload_never_returns groups="win7 win10" \
  why="the client copy's DllMain never returns when it is unloaded at exit: {} and exit 0 at once" \
  client=client-c4-rfc3161.dll env="$ENV_CLIENT_DECIDES STP_FAKE_FAULT=client:detach STP_FAKE_FAULT_KIND=hang" \
  stdout={} calls="$K_UP|$K_DOWN" \
  diag="$D_CLIENT_OK|cloud library present: no|$D_RESULT_OK|answer: {}"

scenario exit.cloud_pinned_never_returns_at_exit groups="win7 win10" \
  why="the cloud copy pins itself, answers, and its DllMain never returns at exit: the STP line and exit 0" \
  cloud=cloud-pinned.dll client=client-c4-rfc3161.dll \
  env="$ENV_CLOUD_DECIDES STP_FAKE_PIN=cloud STP_FAKE_FAULT=cloud:detach STP_FAKE_FAULT_KIND=hang" \
  stdout=STP calls="cloud attach|cloud pinned|cloud stpInitializeRuntimeSdk2(1.6)|$K_UP|$C_ASK|cloud stpShutdownRuntimeSdk()|client stpShutdownRuntimeSdk()" \
  diag="$D_CLOUD_OK|in cloud: yes|answer: {\"cloud_platform\":\"STP\"}"

SAID="cloud attach says hello|cloud init says hello|cloud question says hello|cloud shutdown says hello"
SAID+="|cloud detach says hello|cloud printf says hello|client attach says hello|client init says hello"
SAID+="|client shutdown says hello|client printf says hello"
scenario output.libraries_write_to_stdout groups="win7 win10" \
  why="both copies write to standard output through the handle and printf at load, init, question and shutdown: one line" \
  cloud=cloud-pinned.dll client=client-c4-rfc3161.dll env="$ENV_CLOUD_DECIDES STP_FAKE_SAY=cloud,client" \
  stdout=STP calls="$CALLS_ASKED" \
  diag="dll search: system directory, runtime library dependencies also beside the exe|pins: test|$D_CLIENT_OK|$D_CLOUD_OK|$D_RESULT_OK|in cloud: yes|answer: {\"cloud_platform\":\"STP\"}" \
  nodiag="$SAID"

# --- lookup ---------------------------------------------------------------------------

scenario_lookup() {
  local name=$1 kv
  [[ -n ${SCENARIO_DEF[$name]+set} ]] || return 1
  S_WHY='' S_GROUPS=win7 S_EXE=test S_CLOUD=- S_CLIENT=- S_ENV='' S_STDOUT='{}' S_CALLS=''
  S_DIAG='' S_NODIAG='' S_PLANT='' S_HELPER='' S_CLOUDLINK='' S_SERVER='' S_CONTROL='' S_DEADLINE=''
  local -a args
  eval "args=(${SCENARIO_DEF[$name]})"
  for kv in "${args[@]}"; do
    case ${kv%%=*} in
      why) S_WHY=${kv#*=} ;;
      groups) S_GROUPS=${kv#*=} ;;
      exe) S_EXE=${kv#*=} ;;
      cloud) S_CLOUD=${kv#*=} ;;
      client) S_CLIENT=${kv#*=} ;;
      env) S_ENV=${kv#*=} ;;
      stdout) S_STDOUT=${kv#*=} ;;
      calls) S_CALLS=${kv#*=} ;;
      diag) S_DIAG=${kv#*=} ;;
      nodiag) S_NODIAG=${kv#*=} ;;
      plant) [[ ${kv#*=} == yes ]] && S_PLANT=yes ;;
      helper) S_HELPER=${kv#*=} ;;
      cloudlink) [[ ${kv#*=} == yes ]] && S_CLOUDLINK=yes ;;
      server) [[ ${kv#*=} == yes ]] && S_SERVER=yes ;;
      deadline) [[ ${kv#*=} == yes ]] && S_DEADLINE=yes ;;
      control) S_CONTROL=${kv#*=} ;;
      *) echo "scenario $name: unknown key ${kv%%=*}" >&2; return 1 ;;
    esac
  done
}

scenario_list() {
  local name group
  for name in "${SCENARIO_NAMES[@]}"; do
    scenario_lookup "$name"
    for group in $S_GROUPS; do echo "$group $name"; done
  done
}

# --- fixture facts: what Wine's own CryptoAPI and WinTrust say ---------------------------
# "file|line": a line e2e_sigcheck must print for that file. They show that each
# refusal on trust grounds is real under Wine, that every fixture meant to be
# accepted passes the trust provider, and which certificates each name-chain
# walk climbs through, in the store's order.
FACTS=(
  # The trust provider: accepted signatures, and the three trust refusals.
  "cloud-pinned.dll|trust: 0x00000000"
  "client-c4-rfc3161.dll|trust: 0x00000000"
  "client-c4-legacy.dll|trust: 0x00000000"
  "client-c1-rfc3161.dll|trust: 0x00000000"
  "client-c12-rfc3161.dll|trust: 0x00000000"
  "client-c13-legacy.dll|trust: 0x00000000"
  "client-nested.dll|trust: 0x00000000"
  "cloud-leaf-twice.dll|trust: 0x00000000"
  "client-leaf-twice.dll|trust: 0x00000000"
  "client-unsigned.dll|trust: 0x800b0100"
  "client-one-byte.dll|trust: 0x80096010"
  "cloud-one-byte.dll|trust: 0x80096010"
  "client-untrusted-root.dll|trust: 0x800b0109"
  # Refusals that must come from the policy gate alone: the trust provider
  # would let these through.
  "client-wrong-name.dll|trust: 0x00000000"
  "client-kelvin-name.dll|trust: 0x00000000"
  "client-fullwidth-name.dll|trust: 0x00000000"
  "client-dotless-name.dll|trust: 0x00000000"
  "client-nul-name.dll|trust: 0x00000000"
  "client-no-timestamp.dll|trust: 0x00000000"
  "client-ts-minute-early.dll|trust: 0x00000000"
  "client-ts-3s-early.dll|trust: 0x00000000"
  "client-ts-1s-other-minute.dll|trust: 0x00000000"
  "client-legacy-3s-early.dll|trust: 0x00000000"
  "client-pinned-chain.dll|trust: 0x00000000"
  "cloud-wrong-key.dll|trust: 0x00000000"
  # The nested signatures that must not count: the trust provider judges the
  # primary signature only and lets every one of them through.
  "client-nested-lifted.dll|trust: 0x00000000"
  "client-nested-forged.dll|trust: 0x00000000"
  "client-nested-content-changed.dll|trust: 0x00000000"
  "cloud-nested-lifted.dll|trust: 0x00000000"
  "cloud-nested-forged.dll|trust: 0x00000000"
  "cloud-wrong-name.dll|trust: 0x00000000"
  "cloud-named-chain.dll|trust: 0x00000000"
  # The machine builds the four-element pinned chain (its intermediates are in
  # the machine CA store) for the accepted and the refused pinned signatures.
  "cloud-pinned.dll|chain: 1 simple, 4 elements, status 0x00000000 : / STP SDK - Code Signing Leaf (prod) / STP SDK - Code Signing Zone All CA 01 / STP SDK - Code Signing L1 Intermediate CA 01 / STP Root CA 01"
  "cloud-wrong-key.dll|chain: 1 simple, 4 elements, status 0x00000000 : / STP SDK - Code Signing Leaf (prod) / STP SDK - Code Signing Zone All CA 01 / STP SDK - Code Signing L1 Intermediate CA 01 / STP Root CA 01"
  "cloud-wrong-name.dll|chain: 1 simple, 4 elements, status 0x00000000 : / STP SDK - Code Signing Leaf (test) / STP SDK - Code Signing Zone All CA 01 / STP SDK - Code Signing L1 Intermediate CA 01 / STP Root CA 01"
  "cloud-expired.dll|chain: 1 simple, 4 elements, status 0x00000001 : / STP SDK - Code Signing Leaf (prod) / STP SDK - Code Signing Zone All CA 01 / STP SDK - Code Signing L1 Intermediate CA 01 / STP Root CA 01"
  # Chain 1: the walk finds the CA, then G5 after it, then the root after G5,
  # and the root (self-signed) yields no issuer: only the four-name chain ends
  # there; the three-name chain 4 fails because G5 has an issuer in the store.
  "client-c1-rfc3161.dll|store: Sentrix Class 3 SHA256 Code Signing CA <- Verimark Class 3 Public Primary Certification Authority - G5"
  "client-c1-rfc3161.dll|issuer-lookup: Verimark Class 3 Public Primary Certification Authority - G5 -> Microsoft Code Verification Root"
  "client-c1-rfc3161.dll|issuer-lookup: Microsoft Code Verification Root -> none 0x80092007"
  # Chains 4 and 12: the CA's issuer is not carried, so the last name is read
  # from the CA's issuer name.
  "client-c4-rfc3161.dll|issuer-lookup: Sentrix Class 3 SHA256 Code Signing CA -> none 0x80092004"
  "client-c12-rfc3161.dll|issuer-lookup: KORVEX Subordinate CA -> none 0x80092004"
  # Wine's chain engine reports each link: the genuine pinned chain verifies
  # up to a self-signed root (info 0xc) ...
  "cloud-pinned.dll|links: 0x00000000/0x00000002 0x00000000/0x00000002 0x00000000/0x00000002 0x00000000/0x0000000c"
  "cloud-pinned-urls.dll|links: 0x00000000/0x00000002 0x00000000/0x00000002 0x00000000/0x00000002 0x00000000/0x0000000c"
  "cloud-pinned-urls.dll|trust: 0x00000000"
  # (cloud-url-hidden-issuer.dll has no facts: Wine's trust provider fetches
  # the issuer URL its leaf names, cache-only retrieval or not, and nothing
  # here may reach for the port a scenario's server may be listening on.)
  # ... while a forged zone CA under the genuine L1 and root gives the same
  # four names with the zone CA's signature invalid (0x8). The trust provider
  # lets both forgeries through: the SHA-256 one because Wine skips its chain
  # policy, the SHA-1 one through the root of the zone CA's name in the user's
  # store. Only the pinned gate stands in their way.
  "cloud-forged-zone.dll|chain: 1 simple, 4 elements, status 0x00000008 : / STP SDK - Code Signing Leaf (prod) / STP SDK - Code Signing Zone All CA 01 / STP SDK - Code Signing L1 Intermediate CA 01 / STP Root CA 01"
  "cloud-forged-zone.dll|links: 0x00000000/0x00000002 0x00000008/0x00000002 0x00000000/0x00000002 0x00000000/0x0000000c"
  "cloud-forged-zone.dll|trust: 0x00000000"
  "cloud-forged-zone-user-root.dll|links: 0x00000000/0x00000002 0x00000008/0x00000002 0x00000000/0x00000002 0x00000000/0x0000000c"
  "cloud-forged-zone-user-root.dll|trust: 0x00000000"
  # The decoy: the issuer lookup finds it by the leaf's key identifier, and
  # leaves the signature flag set because it did not sign the leaf; the trust
  # provider validates the leaf through its real, unlisted issuer. Genuine
  # lookups clear the flag.
  "client-decoy.dll|issuer-lookup: KORVEX Corporation -> Sentrix Class 3 SHA256 Code Signing CA"
  "client-decoy.dll|issuer-lookup-signed: KORVEX Corporation -> Sentrix Class 3 SHA256 Code Signing CA flags 0x1"
  "client-decoy.dll|chain: 1 simple, 3 elements, status 0x00000000 : / KORVEX Corporation / Unlisted Code Signing CA / Verimark Class 3 Public Primary Certification Authority - G5"
  "client-decoy.dll|trust: 0x00000000"
  "client-c1-rfc3161.dll|issuer-lookup-signed: KORVEX Corporation -> Sentrix Class 3 SHA256 Code Signing CA flags 0x0"
  "client-c1-rfc3161.dll|issuer-lookup-signed: Verimark Class 3 Public Primary Certification Authority - G5 -> Microsoft Code Verification Root flags 0x0"
  # Time-stamps of both kinds and the nested signature are where the probe
  # looks for them.
  "client-c4-rfc3161.dll|unauth: 1.3.6.1.4.1.311.3.3.1 x1"
  "client-c4-legacy.dll|unauth: 1.2.840.113549.1.9.6 x1"
  "client-nested.dll|unauth: 1.3.6.1.4.1.311.2.4.1 x1"
  # The walk's step, unbounded, would reach every nested signature of the
  # planted file in the record as Wine lays it out.
  "cloud-many-nested.dll|steps: 500 of 500 values, first at 0 mod 8"
  "cloud-one-nested.dll|steps: 1 of 1 values, first at 0 mod 8"
  "cloud-many-nested.dll|trust: 0x00000000"
  "client-no-timestamp.dll|signer: KORVEX Corporation"
)

fact_files() {
  local fact
  for fact in "${FACTS[@]}"; do echo "${fact%%|*}"; done | sort -u
}

fact_lines() {
  local fact
  for fact in "${FACTS[@]}"; do
    echo "${fact%%|*}|${fact#*|}"
  done
}
