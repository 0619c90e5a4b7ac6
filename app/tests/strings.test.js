'use strict';
const test = require('node:test');
const assert = require('node:assert');
const { STRINGS, chooseLanguage, translate } = require('../server/page/strings');

test('every text exists in all four languages, with the same placeholders', () => {
  assert.deepStrictEqual(Object.keys(STRINGS).sort(), ['en', 'ja', 'zh-Hans', 'zh-Hant']);
  const count = (text) => (text.match(/%@/g) || []).length;
  for (const [lang, table] of Object.entries(STRINGS)) {
    assert.deepStrictEqual(Object.keys(table).sort(), Object.keys(STRINGS.en).sort(), lang);
    for (const [key, text] of Object.entries(table)) {
      assert.ok(text.trim() !== '', `${lang} ${key} is empty`);
      assert.strictEqual(count(text), count(STRINGS.en[key]), `${lang} ${key}`);
    }
  }
});

test('the page speaks the first preferred language it knows, as the launcher does', () => {
  const cases = [
    [['fr-FR', 'ja-JP', 'en-US'], 'ja'],
    [['de-DE'], 'en'],
    [['en-GB', 'ja'], 'en'],
    [['zh-HK'], 'zh-Hant'],
    [['zh-TW'], 'zh-Hant'],
    [['zh-Hant-TW'], 'zh-Hant'],
    [['zh-Hans-CN'], 'zh-Hans'],
    [['zh-SG'], 'zh-Hans'],
    [['zh-CN'], 'zh-Hans'],
    [[], 'en'],
    [undefined, 'en'],
  ];
  for (const [preferred, lang] of cases) assert.strictEqual(chooseLanguage(preferred), lang, String(preferred));
});

test('texts take their arguments in order and fall back to English, then to the key', () => {
  assert.strictEqual(translate('en', 'docProgress', 3, 12), 'Recognising page 3 of 12');
  assert.strictEqual(translate('ja', 'docProgress', 3, 12), '3 / 12 ページを認識しています');
  assert.strictEqual(translate('xx', 'stop'), 'Stop');
  assert.strictEqual(translate('en', 'no such key %@', 'x'), 'no such key x');
  assert.strictEqual(translate('en', 'stateDone'), 'Saved as %@.');
});
