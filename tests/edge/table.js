// Table-driven checks for the edge's tests: every row runs, and one error
// names each row that failed and why.

function rowName(row) {
  if (row && typeof row === "object" && !Array.isArray(row) && row.name) return row.name;
  return JSON.stringify(row);
}

function fail(failures, total) {
  if (failures.length > 0) {
    throw new Error(`${failures.length} of ${total} rows failed:\n${failures.join("\n")}`);
  }
}

export function rows(table, check) {
  const failures = [];
  for (const row of table) {
    try {
      check(row);
    } catch (error) {
      failures.push(`  ${rowName(row)}: ${error.message}`);
    }
  }
  fail(failures, table.length);
}

export async function rowsAsync(table, check) {
  const failures = [];
  for (const row of table) {
    try {
      await check(row);
    } catch (error) {
      failures.push(`  ${rowName(row)}: ${error.message}`);
    }
  }
  fail(failures, table.length);
}
