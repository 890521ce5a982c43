"""The agencies' loan-level layouts: every field by position with its kind, the codes each code field
holds, and how each layout's fields make the history's own columns.

Kinds: ``str`` (kept as read), ``int`` (a whole number, int32), ``float`` (float64), ``date`` (a month,
date32 on its first day), ``dlq`` (months delinquent) and ``zb`` (a zero-balance code).
"""

from __future__ import annotations

from dataclasses import dataclass

# The history's delinquency for a loan in REO and for an unknown status: REO sorts past every count of
# months, so it is a credit event as six months or more are.
DELINQUENCY_REO = 999
DELINQUENCY_UNKNOWN = -1

_F = "float"
_I = "int"
_S = "str"
_D = "date"

FANNIE_FIELDS: tuple[tuple[str, str], ...] = (
    ("pool_id", _S), ("loan_id", _S), ("act_period", _D), ("channel", _S), ("seller", _S),
    ("servicer", _S), ("master_servicer", _S), ("orig_rate", _F), ("curr_rate", _F), ("orig_upb", _F),
    ("issuance_upb", _F), ("current_upb", _F), ("orig_term", _I), ("orig_date", _D), ("first_pay", _D),
    ("loan_age", _I), ("rem_months", _I), ("adj_rem_months", _I), ("matr_dt", _D), ("oltv", _F),
    ("ocltv", _F), ("num_bo", _I), ("dti", _F), ("cscore_b", _I), ("cscore_c", _I),
    ("first_flag", _S), ("purpose", _S), ("prop", _S), ("no_units", _I), ("occ_stat", _S),
    ("state", _S), ("msa", _S), ("zip", _S), ("mi_pct", _F), ("product", _S),
    ("ppmt_flg", _S), ("io", _S), ("first_pay_io", _D), ("mnths_to_amtz_io", _I), ("dlq_status", "dlq"),
    ("pmt_history", _S), ("mod_flag", _S), ("mi_cancel_flag", _S), ("zero_bal_code", "zb"), ("zb_dte", _D),
    ("last_upb", _F), ("rprch_dte", _D), ("curr_schd_prncpl", _F), ("tot_schd_prncpl", _F),
    ("unschd_prncpl_curr", _F),
    ("last_paid_installment_date", _D), ("foreclosure_date", _D), ("disposition_date", _D),
    ("foreclosure_costs", _F), ("property_preservation_and_repair_costs", _F),
    ("asset_recovery_costs", _F), ("miscellaneous_holding_expenses_and_credits", _F),
    ("associated_taxes_for_holding_property", _F), ("net_sales_proceeds", _F),
    ("credit_enhancement_proceeds", _F), ("repurchases_make_whole_proceeds", _F),
    ("other_foreclosure_proceeds", _F), ("non_interest_bearing_upb", _F),
    ("principal_forgiveness_amount", _F), ("original_list_start_date", _D), ("original_list_price", _F),
    ("current_list_start_date", _D), ("current_list_price", _F), ("issue_scoreb", _I), ("issue_scorec", _I),
    ("curr_scoreb", _I), ("curr_scorec", _I), ("mi_type", _S), ("serv_ind", _S),
    ("current_period_modification_loss_amount", _F), ("cumulative_modification_loss_amount", _F),
    ("current_period_credit_event_net_gain_or_loss", _F), ("cumulative_credit_event_net_gain_or_loss", _F),
    ("homeready_program_indicator", _S), ("foreclosure_principal_write_off_amount", _F),
    ("relocation_mortgage_indicator", _S), ("zero_balance_code_change_date", _D),
    ("loan_holdback_indicator", _S), ("loan_holdback_effective_date", _D), ("delinquent_accrued_interest", _F),
    ("property_inspection_waiver_indicator", _S), ("high_balance_loan_indicator", _S),
    ("arm_5_yr_indicator", _S), ("arm_product_type", _S), ("months_until_first_payment_reset", _I),
    ("months_between_subsequent_payment_reset", _I), ("interest_rate_change_date", _D),
    ("payment_change_date", _D), ("arm_index", _S), ("arm_cap_structure", _S),
    ("initial_interest_rate_cap", _F), ("periodic_interest_rate_cap", _F), ("lifetime_interest_rate_cap", _F),
    ("margin", _F), ("balloon_indicator", _S), ("plan_number", _S), ("forbearance_indicator", _S),
    ("high_loan_to_value_hltv_refinance_option_indicator", _S), ("deal_name", _S), ("re_procs_flag", _S),
    ("adr_type", _S), ("adr_count", _I), ("adr_upb", _F),
)  # fmt: skip

FREDDIE_ORIGINATION_FIELDS: tuple[tuple[str, str], ...] = (
    ("credit_score", _I), ("first_payment_date", _D), ("first_time_homebuyer_flag", _S), ("maturity_date", _D),
    ("msa", _S), ("mi_pct", _F), ("num_units", _I), ("occupancy_status", _S), ("orig_cltv", _F),
    ("orig_dti", _F), ("orig_upb", _F), ("orig_ltv", _F), ("orig_interest_rate", _F), ("channel", _S),
    ("ppm_flag", _S), ("amortization_type", _S), ("property_state", _S), ("property_type", _S),
    ("postal_code", _S), ("loan_sequence_number", _S), ("loan_purpose", _S), ("orig_loan_term", _I),
    ("num_borrowers", _I), ("seller_name", _S), ("servicer_name", _S), ("super_conforming_flag", _S),
    ("pre_relief_refinance_loan_sequence_number", _S), ("program_indicator", _S),
    ("relief_refinance_indicator", _S), ("property_valuation_method", _S), ("interest_only_indicator", _S),
    ("mi_cancellation_indicator", _S),
)  # fmt: skip

FREDDIE_PERFORMANCE_FIELDS: tuple[tuple[str, str], ...] = (
    ("loan_sequence_number", _S), ("monthly_reporting_period", _D), ("current_actual_upb", _F),
    ("current_loan_delinquency_status", "dlq"), ("loan_age", _I), ("remaining_months_to_legal_maturity", _I),
    ("defect_settlement_date", _D), ("modification_flag", _S), ("zero_balance_code", "zb"),
    ("zero_balance_effective_date", _D), ("current_interest_rate", _F), ("current_deferred_upb", _F),
    ("due_date_of_last_paid_installment", _D), ("mi_recoveries", _F), ("net_sale_proceeds", _F),
    ("non_mi_recoveries", _F), ("expenses", _F), ("legal_costs", _F), ("maintenance_and_preservation_costs", _F),
    ("taxes_and_insurance", _F), ("miscellaneous_expenses", _F), ("actual_loss_calculation", _F),
    ("modification_cost", _F), ("step_modification_flag", _S), ("deferred_payment_plan", _S),
    ("estimated_ltv", _F), ("zero_balance_removal_upb", _F), ("delinquent_accrued_interest", _F),
    ("delinquency_due_to_disaster", _S), ("borrower_assistance_status_code", _S),
    ("current_month_modification_cost", _F), ("interest_bearing_upb", _F),
)  # fmt: skip

# Fields of an older Freddie Mac release: the first 28 to 31 of the 32, the rest absent.
FREDDIE_SHORTEST = 28

# The history's own columns, in order, and their Arrow kinds.
STANDARD: tuple[tuple[str, str], ...] = (
    ("id", _S), ("month", _D), ("balance", _F), ("rate", _F), ("age", _I), ("remaining", _I),
    ("delinquency", _I), ("zero_balance_code", _S), ("zero_balance_month", _D),
    ("zero_balance_upb", _F), ("costs", _F), ("proceeds", _F), ("delinquent_interest", _F),
    ("non_interest_bearing_balance", _F), ("net_loss", _F), ("scheduled_principal", _F),
    ("orig_balance", _F), ("orig_rate", _F), ("orig_term", _I), ("first_payment", _D), ("vintage", _I),
)  # fmt: skip
STANDARD_NAMES = tuple(name for name, _ in STANDARD)

# Zero-balance codes each layout documents, and what they mean to the measures.
PREPAID_CODES = frozenset({"01"})
LIQUIDATION_CODES = frozenset({"02", "03", "09", "15"})
FANNIE_ZB_CODES = frozenset({"01", "02", "03", "06", "09", "15", "16", "96", "97", "98"})
FREDDIE_ZB_CODES = frozenset({"01", "02", "03", "09", "15", "96"})
# Months delinquent at which a loan defaults (once).
DEFAULT_DELINQUENCY = 6

# The servicing spread the publisher's loss formula takes off the note rate for delinquent interest.
FANNIE_SERVICING_SPREAD = 0.0035


@dataclass(frozen=True)
class Layout:
    """One layout: its name, its record fields, the fields the history's columns come from."""

    name: str
    fields: tuple[tuple[str, str], ...]
    date_form: str  # "MMYYYY" or "YYYYMM"
    zb_codes: frozenset[str]
    # The history column -> the layout field it is read from (columns formed from several are made in
    # ``reading``).
    sources: dict[str, str]
    # Every field the history's own columns need.
    needs: tuple[str, ...]
    shortest: int  # the fewest fields a record may have

    def kind(self, field: str) -> str:
        return dict(self.fields)[field]

    @property
    def names(self) -> tuple[str, ...]:
        return tuple(name for name, _ in self.fields)


FANNIE_COSTS = (
    "foreclosure_costs",
    "property_preservation_and_repair_costs",
    "asset_recovery_costs",
    "miscellaneous_holding_expenses_and_credits",
    "associated_taxes_for_holding_property",
)
FANNIE_PROCEEDS = (
    "net_sales_proceeds",
    "credit_enhancement_proceeds",
    "repurchases_make_whole_proceeds",
    "other_foreclosure_proceeds",
)
FREDDIE_PROCEEDS = ("net_sale_proceeds", "mi_recoveries", "non_mi_recoveries")

FANNIE = Layout(
    name="fannie-mae",
    fields=FANNIE_FIELDS,
    date_form="MMYYYY",
    zb_codes=FANNIE_ZB_CODES,
    sources={
        "id": "loan_id",
        "month": "act_period",
        "balance": "current_upb",
        "rate": "curr_rate",
        "age": "loan_age",
        "remaining": "rem_months",
        "delinquency": "dlq_status",
        "zero_balance_code": "zero_bal_code",
        "zero_balance_month": "zb_dte",
        "zero_balance_upb": "last_upb",
        "delinquent_interest": "delinquent_accrued_interest",
        "non_interest_bearing_balance": "non_interest_bearing_upb",
        "scheduled_principal": "curr_schd_prncpl",
        "orig_balance": "orig_upb",
        "orig_rate": "orig_rate",
        "orig_term": "orig_term",
        "first_payment": "first_pay",
    },
    needs=(
        "loan_id",
        "act_period",
        "current_upb",
        "curr_rate",
        "loan_age",
        "rem_months",
        "dlq_status",
        "zero_bal_code",
        "zb_dte",
        "last_upb",
        "curr_schd_prncpl",
        "last_paid_installment_date",
        "disposition_date",
        *FANNIE_COSTS,
        *FANNIE_PROCEEDS,
        "non_interest_bearing_upb",
        "principal_forgiveness_amount",
        "delinquent_accrued_interest",
        "orig_upb",
        "orig_rate",
        "orig_term",
        "first_pay",
    ),  # fmt: skip
    shortest=len(FANNIE_FIELDS),
)

FREDDIE = Layout(
    name="freddie-mac",
    fields=FREDDIE_PERFORMANCE_FIELDS,
    date_form="YYYYMM",
    zb_codes=FREDDIE_ZB_CODES,
    sources={
        "id": "loan_sequence_number",
        "month": "monthly_reporting_period",
        "balance": "current_actual_upb",
        "rate": "current_interest_rate",
        "age": "loan_age",
        "remaining": "remaining_months_to_legal_maturity",
        "delinquency": "current_loan_delinquency_status",
        "zero_balance_code": "zero_balance_code",
        "zero_balance_month": "zero_balance_effective_date",
        "zero_balance_upb": "zero_balance_removal_upb",
        "delinquent_interest": "delinquent_accrued_interest",
        "non_interest_bearing_balance": "current_deferred_upb",
        "costs": "expenses",
    },
    needs=(
        "loan_sequence_number",
        "monthly_reporting_period",
        "current_actual_upb",
        "current_loan_delinquency_status",
        "loan_age",
        "remaining_months_to_legal_maturity",
        "zero_balance_code",
        "zero_balance_effective_date",
        "current_interest_rate",
        "current_deferred_upb",
        "expenses",
        "zero_balance_removal_upb",
        "delinquent_accrued_interest",
        *FREDDIE_PROCEEDS,
    ),  # fmt: skip
    shortest=FREDDIE_SHORTEST,
)

# The origination file's fields the history's own columns come from.
FREDDIE_ORIGINATION_SOURCES = {
    "orig_balance": "orig_upb",
    "orig_rate": "orig_interest_rate",
    "orig_term": "orig_loan_term",
    "first_payment": "first_payment_date",
}

LAYOUTS = {FANNIE.name: FANNIE, FREDDIE.name: FREDDIE}


def layout_of(name: str) -> Layout:
    try:
        return LAYOUTS[name]
    except KeyError:
        raise ValueError(f"layout must be one of {', '.join(sorted(LAYOUTS))}, not {name!r}") from None
